#pragma once

// A capture of the bytes that cross, each way, for support: one text line per block,
// "12.345678 serial->midi 90 3C 64", seconds since the capture started. The bridge thread only
// copies each block into a bounded ring; a writer thread of the capture's own opens the file,
// formats and writes the lines and closes it, so that a slow disk, a hung mount or a FIFO that
// nobody reads never holds forwarding. The writer takes the ring in batches (the first block
// after a quiet spell wakes it, the next kGather gather behind it), so that a steady stream costs
// the bridge thread a wake-up and the writer one write per batch, not per block. What the ring
// cannot hold is counted and told in the file. A write or open error, or the size limit, stops
// the capture by itself, told in one log line.

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
  // Bytes gathered into one line at most (Gather).
  static constexpr std::size_t kGatherBytes = 1024;

  // Bridge thread; returns at once. The writer opens (truncates) `path`. `tell` is called on this
  // thread with a log line once the file is open ("capture démarrée"), and once when the capture
  // stops by itself (an open or write error, the limit of `limit` bytes); never after the
  // capture was destroyed.
  ByteCapture(std::string path, std::uint64_t limit,
              std::function<void(const std::string& line)> tell);
  // Returns at once: the writer writes what waits, closes the file and ends by itself.
  ~ByteCapture();
  ByteCapture(const ByteCapture&) = delete;
  ByteCapture& operator=(const ByteCapture&) = delete;

  const std::string& Path() const { return path_; }
  // Bridge thread: false once the capture stopped by itself.
  bool Running() const;

  // Bridge thread: never blocks on the writer and allocates nothing. Gathered bytes go first.
  void Record(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count);
  // Bridge thread: bytes kept to be recorded as one block at the next Flush (or Record), so
  // that a message read a byte at a time makes one line.
  void Gather(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count);
  void Flush();

  // Bridge thread, at the program's end: waits at most `timeout` for the writer to write what
  // waits and close the file; what it meets meanwhile is told as it would be. True when done.
  bool Finish(std::chrono::milliseconds timeout);

 private:
  struct Shared;

  const std::string path_;
  const std::function<void(const std::string&)> tell_;  // bridge thread's
  bool startTold_ = false;                              // bridge thread's, as the next
  bool stopTold_ = false;
  platform::MessageWindow told_;          // bridge thread's: receives the writer's "stopped"
  const std::shared_ptr<Shared> shared_;  // with the writer, which may outlive us
  // Bridge thread's: what Gather kept.
  std::array<std::uint8_t, kGatherBytes> gathered_{};
  std::size_t gatheredCount_ = 0;
  CaptureDirection gatheredDirection_ = CaptureDirection::SerialToMidi;
};

}  // namespace velmora::core
