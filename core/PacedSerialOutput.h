#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace velmora::core {

// The MIDI-to-serial bytes that wait for the line, in order: what did not fit the port's output
// buffer, and system exclusive, which goes out no faster than the line carries it. A device
// takes bytes faster than its line sends them (a USB adapter's buffer, a pseudo-terminal's 64
// KiB): written at once, a dump would sit there, and a clock byte sent during it would wait
// behind all of it. Paced, it waits behind at most kLead of the line's time.
//
// Pure bookkeeping: the bridge says what the port has room for, what it wrote and when, and
// writes what this gives it. Bounded: what would take it above its limit is refused whole.
// UI thread only.
class PacedSerialOutput {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kDefaultLimit = 1u << 20;
  // How far ahead of the line paced bytes go: what a real-time byte may wait behind.
  static constexpr std::chrono::microseconds kLead{400};
  // How long the line may have been idle for its model not to lose the time: a look that comes
  // a little late does not slow the pace.
  static constexpr std::chrono::microseconds kCarry{200};
  // Paced bytes are written at least this much line time at once: a fast line is not looked at
  // for every byte.
  static constexpr std::chrono::microseconds kBatch{250};
  // The pace is this much under the line's nominal speed: a UART whose baud rate is a little
  // slow (adapters are within a few percent) never lets bytes pile up ahead of a clock byte.
  static constexpr int kMarginPercent = 3;
  // The soonest and the latest the bridge looks again while bytes wait.
  static constexpr std::chrono::microseconds kSoonest{100};
  static constexpr std::chrono::milliseconds kLatest{10};
  // Beyond this the line's model forgets: a device faster than its line has taken the bytes.
  static constexpr std::chrono::milliseconds kModelled{50};

  // The time one byte takes on the line (its start, data, parity and stop bits at the baud
  // rate); the pace keeps kMarginPercent under it.
  void SetByteTime(std::chrono::nanoseconds perByte);
  static std::chrono::nanoseconds ByteTime(std::int32_t baud, int bitsPerByte);
  void SetLimit(std::size_t bytes) { limit_ = bytes; }

  bool Empty() const { return entries_.empty(); }
  std::size_t Waiting() const { return waiting_; }

  // `count` bytes went to the port now, not through the queue.
  void Wrote(std::size_t count, Clock::time_point now);
  // Whether paced bytes may go to the port now: the line's model is within kLead.
  bool LineFree(Clock::time_point now) const;
  // A message, or a part of one (`starts` false), queued behind what waits; `paced`: it goes
  // at the line's pace. False when it would take the queue above its limit: nothing of it is
  // kept.
  bool Append(const std::uint8_t* bytes, std::size_t count, bool paced, bool starts);
  // A real-time byte before everything that waits, as MIDI allows it anywhere; false when the
  // queue is at its limit.
  bool PushFront(std::uint8_t byte);
  // Whole messages before everything that waits, whatever the limit ("Tout arrêter"). A message
  // begun on the line is not split: a short one ends first; a system exclusive is cut there and
  // ended with F7, and the rest of it dropped. True when the cut one was the last queued, so
  // that its parts still to come must be dropped too.
  bool PutAhead(const std::uint8_t* bytes, std::size_t count);

  // The bytes at the head that may go now into `room` bytes of the port: none while nothing
  // waits or paced bytes are ahead of the line.
  std::span<const std::uint8_t> Ready(std::size_t room, Clock::time_point now) const;
  // `count` bytes of what Ready gave went to the port.
  void Sent(std::size_t count, Clock::time_point now);
  // When paced bytes at the head may go next; empty when nothing waits or the head waits only
  // for room in the port.
  std::optional<Clock::time_point> NextDue(Clock::time_point now) const;
  // Drops everything; the number of messages that had not gone whole.
  std::size_t Clear();

 private:
  struct Entry {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    std::size_t messages = 0;  // that start in it
    bool paced = false;
  };
  // How many paced bytes the line's model takes now, and from when it counts them.
  std::size_t paceAllows(Clock::time_point now) const;
  Clock::time_point lineFrom(Clock::time_point now) const;

  std::deque<Entry> entries_;
  std::size_t waiting_ = 0;
  std::size_t limit_ = kDefaultLimit;
  std::chrono::nanoseconds byteTime_{260'417};  // 38400 baud, 10 bits a byte
  Clock::time_point lineFree_{};                // when the line's model has sent all it took
};

}  // namespace velmora::core
