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
// Two lanes: real-time bytes (F8 to FF) wait in one of their own, first in first out, and go
// before the next byte of the other, as MIDI allows them between any two bytes; everything else
// keeps its order in the other.
//
// Pure bookkeeping: the bridge says what the port has room for, what it wrote and when, and
// writes what this gives it. Bounded by the memory what waits takes (its bytes' storage and the
// records of its runs): what would take it above its limit is refused whole. UI thread only.
class PacedSerialOutput {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kDefaultLimit = 1u << 20;
  // How far ahead of the line paced bytes go: what a real-time byte may wait behind.
  static constexpr std::chrono::microseconds kLead{400};
  // How long the line may have been idle for its model not to lose the time: a look that comes
  // a little late does not slow the pace.
  static constexpr std::chrono::microseconds kCarry{200};
  // While paced bytes wait, the pace keeps to its schedule: a look that comes up to this late
  // (a loaded machine wakes a thread a scheduler tick or more late) makes up the line time it
  // missed, so that a dump ends when its pace says. The port then holds up to this much more
  // than kLead, which its line sends a little faster than the pace (kMarginPercent).
  static constexpr std::chrono::milliseconds kCatchUp{5};
  // Paced bytes are written at least this much line time at once: a fast line is not looked at
  // for every byte.
  static constexpr std::chrono::microseconds kBatch{250};
  // The pace is this much under the line's nominal speed: a UART whose baud rate is a little
  // slow (adapters are within a few percent) never lets bytes pile up ahead of a clock byte.
  static constexpr int kMarginPercent = 3;
  // The soonest and the latest the bridge looks again while bytes wait.
  static constexpr std::chrono::microseconds kSoonest{100};
  static constexpr std::chrono::milliseconds kLatest{10};
  // Paced bytes go only while the port holds less than this much line time not yet given to
  // the device: an output thread that runs late does not let them pile up there beyond what a
  // late look may make up.
  static constexpr std::chrono::microseconds kPortHold = kCatchUp + kLead;
  // How soon the bridge looks again while paced bytes wait for the port to hand on its own.
  static constexpr std::chrono::microseconds kPortLook{500};
  // Beyond this the line's model forgets: a device faster than its line has taken the bytes.
  static constexpr std::chrono::milliseconds kModelled{50};

  // The time one byte takes on the line (its start, data, parity and stop bits at the baud
  // rate); the pace keeps kMarginPercent under it.
  void SetByteTime(std::chrono::nanoseconds perByte);
  static std::chrono::nanoseconds ByteTime(std::int32_t baud, int bitsPerByte);
  void SetLimit(std::size_t bytes) { limit_ = bytes; }

  bool Empty() const { return realTime_.Size() == 0 && queue_.Size() == 0; }
  bool RealTimeWaiting() const { return realTime_.Size() > 0; }
  // Bytes that wait, both lanes.
  std::size_t Waiting() const { return realTime_.Size() + queue_.Size(); }
  // What waiting takes in memory: what the limit bounds.
  std::size_t Memory() const;
  // How long what waits takes on the line, at the pace.
  std::chrono::nanoseconds LineTime() const {
    return byteTime_ * static_cast<std::int64_t>(Waiting());
  }

  // `count` bytes went to the port now, not through the queue.
  void Wrote(std::size_t count, Clock::time_point now);
  // A message, or a part of one (`starts` false), queued behind what waits; `paced`: it goes
  // at the line's pace. False when it would take the queue above its limit: nothing of it is
  // kept.
  bool Append(const std::uint8_t* bytes, std::size_t count, bool paced, bool starts);
  // What waits of the last message appended is dropped: the rest of it was refused, and a
  // part of it would only cut the next message short on the line.
  void DropLastMessage();
  // A real-time byte, behind the real-time bytes that wait and before everything else; false
  // when the queue is at its limit.
  bool PushRealTime(std::uint8_t byte);
  // Whole messages before everything else that waits, whatever the limit ("Tout arrêter"). A
  // message begun on the line is not split: a short one ends first; a system exclusive is cut
  // there and ended with F7, and the rest of it dropped. True when the cut one was the last
  // queued, so that its parts still to come must be dropped too.
  bool PutAhead(const std::uint8_t* bytes, std::size_t count);

  // The bytes at the head that may go now into `room` bytes of the port, which holds
  // `portHolds` not yet given to the device: none while nothing waits or paced bytes are ahead
  // of the line. Paced bytes go only while the port holds less than kPortHold: a port whose
  // output thread runs late would otherwise pile them up, and a real-time byte would wait
  // behind the pile.
  std::span<const std::uint8_t> Ready(std::size_t room, Clock::time_point now,
                                      std::size_t portHolds = 0) const;
  // Whether the head of what waits goes at the line's pace.
  bool HeadPaced() const { return realTime_.Size() == 0 && !runs_.empty() && runs_.front().paced; }
  // `count` bytes of what Ready gave went to the port.
  void Sent(std::size_t count, Clock::time_point now);
  // When paced bytes at the head may go next; empty when nothing waits or the head waits only
  // for room in the port.
  std::optional<Clock::time_point> NextDue(Clock::time_point now) const;
  // Drops everything; the number of messages that had not gone whole (a message begun on the
  // line counts, wherever it waits).
  std::size_t Clear();

 private:
  // Bytes first in first out in one block that grows as needed, up to what it is allowed, and
  // is given back once empty if it grew large.
  class ByteRing {
   public:
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return storage_.size(); }
    // False when the block would have to grow beyond `most` bytes.
    bool Push(const std::uint8_t* bytes, std::size_t count, std::size_t most);
    // The bytes at the head that lie in one piece.
    std::span<const std::uint8_t> Front() const;
    std::uint8_t At(std::size_t index) const { return storage_[(head_ + index) % storage_.size()]; }
    void Pop(std::size_t count);
    void PopBack(std::size_t count);
    // `count` bytes at `at` (from the head) taken out, then `bytes` put there: rare, so by
    // copying.
    void Replace(std::size_t at, std::size_t count, const std::uint8_t* bytes,
                 std::size_t inserted);
    void Clear();

   private:
    static constexpr std::size_t kKept = 64 * 1024;  // a block this size stays once empty
    std::vector<std::uint8_t> storage_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
  };
  // Bytes in a row of the same kind, paced or not, in the queue's order.
  struct Run {
    std::size_t bytes = 0;
    bool paced = false;
  };

 public:
  // What each run of bytes of one kind costs beyond its bytes.
  static constexpr std::size_t kPerRun = sizeof(Run);

 private:
  // How many paced bytes the line's model takes now, and from when it counts them.
  std::size_t paceAllows(Clock::time_point now) const;
  Clock::time_point lineFrom(Clock::time_point now) const;
  // What a lane's block may grow to, the other's and the runs' memory left aside.
  std::size_t roomFor(const ByteRing& ring, std::size_t runs) const;

  ByteRing realTime_;
  ByteRing queue_;
  std::deque<Run> runs_;
  std::size_t lastMessage_ = 0;  // bytes appended of the last message, some maybe gone
  std::size_t limit_ = kDefaultLimit;
  std::chrono::nanoseconds byteTime_{260'417};  // 38400 baud, 10 bits a byte
  Clock::time_point lineFree_{};                // when the line's model has sent all it took
  bool scheduled_ = false;  // paced bytes wait behind what went: lineFree_ is when they are due
};

}  // namespace velmora::core
