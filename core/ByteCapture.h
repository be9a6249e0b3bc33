#pragma once

// A capture of the bytes that cross, each way, for support: one text line per block,
// "12.345678 serial->midi 90 3C 64", seconds since the capture started. The bridge thread only
// copies each block into a bounded ring; a writer thread of the capture's own formats and writes
// the lines, so that a slow disk never slows forwarding. The writer takes the ring in batches (the
// first block after a quiet spell wakes it, the next kGather gather behind it), so that a steady
// stream costs the bridge thread a wake-up and the writer one write per batch, not per block. What
// the ring cannot hold is counted and told in the file.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/MessagePump.h"

namespace velmora::core {

enum class CaptureDirection : std::uint8_t { SerialToMidi, MidiToSerial };

class ByteCapture {
 public:
  static constexpr std::uint64_t kDefaultLimit = 100'000'000;  // 100 Mo
  static constexpr std::size_t kRingBytes = std::size_t{1} << 20;
  // How long the lines of a batch wait at most before they are written; half the ring wakes the
  // writer sooner.
  static constexpr std::chrono::milliseconds kGather{100};

  // Bridge thread. Opens (truncates) `path`; on failure Problem() holds the log line and nothing
  // is recorded. `log` is called on this thread once the file reaches `limit` bytes.
  ByteCapture(std::string path, std::uint64_t limit, std::function<void(const std::string&)> log);
  // Stops the writer once it has written what waits, and closes the file.
  ~ByteCapture();
  ByteCapture(const ByteCapture&) = delete;
  ByteCapture& operator=(const ByteCapture&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Problem() const { return problem_; }

  // Bridge thread: never blocks on the writer and allocates nothing.
  void Record(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count);

 private:
  static constexpr std::size_t kBatchBytes = 64 * 1024;  // written at once, at most

  struct Header {
    std::int64_t nanoseconds;  // since start_
    std::uint32_t count;
    CaptureDirection direction;
  };

  void writeLoop();
  void put(std::size_t at, const void* data, std::size_t size);
  void get(std::size_t at, void* data, std::size_t size) const;
  // Writer thread: formats and writes what the ring holds; false once the limit refused a line.
  bool writeWaiting();
  // Writer thread: adds `line` to `batch_`; false once the limit refused it.
  bool addLine(const std::string& line);
  void writeBatch();

  const std::string path_;
  const std::uint64_t limit_;
  const std::function<void(const std::string&)> log_;  // bridge thread
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::string problem_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};  // writer's

  // A single-producer, single-consumer ring of headers and their bytes. The bridge thread
  // writes at head_ and publishes it; the writer reads up to head_ and publishes tail_. Each
  // index is written by one thread only; both run free (taken modulo the size).
  std::array<std::uint8_t, kRingBytes> ring_{};
  std::atomic<std::size_t> head_{0};
  std::atomic<std::size_t> tail_{0};
  // Blocks and bytes the full ring refused: added by the bridge thread, taken by the writer.
  std::atomic<std::uint64_t> droppedBlocks_{0};
  std::atomic<std::uint64_t> droppedBytes_{0};
  std::atomic<bool> full_{false};  // the limit was reached: set by the writer, read by Record

  // Guards the writer's sleep: it sets idle_ and waits on wake_ under it; the bridge thread
  // takes it only when it finds idle_ set or fills half the ring, the destructor to set stop_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> idle_{false};
  bool stop_ = false;

  std::uint64_t written_ = 0;            // writer's: bytes in the file and in batch_
  std::string batch_;                    // writer's: lines formatted, not yet written
  std::string line_;                     // writer's: the line being formatted
  platform::MessageWindow told_;         // bridge thread's: receives the writer's "limit reached"
  const platform::WindowRef limitTold_;  // the writer posts to told_ through it
  std::thread writer_;                   // last: runs on everything above
};

}  // namespace velmora::core
