#pragma once

// A ring of bytes between one producer thread and one consumer thread, such as JACK's process
// thread and the thread that feeds or drains it: neither side ever blocks or allocates. It
// stands in for libjack's own ring, whose hand-overs are made with barriers that
// ThreadSanitizer cannot see: here every hand-over is an atomic release and acquire.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::platform::midi {

class ByteRing {
 public:
  // Holds at least `capacity` bytes (a power of two).
  explicit ByteRing(std::size_t capacity);
  ~ByteRing();
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  // Any thread, before use: keeps the bytes in memory, so that the real-time side never
  // faults a page in. False where the system refuses (the ring works all the same).
  bool Lock();

  // Producer: the bytes that fit now; then writes at most that many (all that fit).
  std::size_t WriteSpace() const;
  std::size_t Write(const void* bytes, std::size_t count);

  // Consumer: the bytes that wait; copies without taking, takes, or drops the first `count`.
  std::size_t ReadSpace() const;
  std::size_t Peek(void* to, std::size_t count) const;
  std::size_t Read(void* to, std::size_t count);
  void ReadAdvance(std::size_t count);

 private:
  void CopyOut(std::size_t from, void* to, std::size_t count) const;

  const std::size_t size_;  // a power of two
  std::unique_ptr<std::uint8_t[]> bytes_;
  bool locked_ = false;
  // Positions grow without bound and are taken modulo size_. The producer alone moves
  // `written_`, the consumer alone `read_`; each publishes with release what the other
  // acquires.
  alignas(64) std::atomic<std::size_t> written_{0};
  alignas(64) std::atomic<std::size_t> read_{0};
};

}  // namespace velmora::platform::midi
