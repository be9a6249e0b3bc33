#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::core {

// Turns a raw MIDI byte stream (what arrives on the serial line) into whole messages:
// channel messages with running status, system common, system exclusive from F0 to F7, and
// real-time bytes passed on at once even inside another message, and the undefined F4 and F5
// as messages of one byte (the data bytes after them are dropped). Bytes that belong to no
// message are reported as dropped; a system exclusive longer than the largest event the MIDI
// output takes, once as too long with its length. UI thread only.
class MidiAssembler {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void OnMessage(const std::uint8_t* bytes, std::size_t count) = 0;
    virtual void OnDropped(const std::uint8_t* bytes, std::size_t count) = 0;
    // A system exclusive of `count` bytes (F0 and its end included) that no event holds.
    virtual void OnTooLong(std::size_t count) = 0;
  };

  // A sysex event counts its bytes in 16 bits.
  static constexpr std::size_t kMaxSysex = 0xFFFF;

  // The longest system exclusive that goes whole, F0 and F7 included (at most kMaxSysex).
  void SetMaxSysex(std::size_t bytes) { maxSysex_ = std::clamp<std::size_t>(bytes, 2, kMaxSysex); }
  std::size_t MaxSysex() const { return maxSysex_; }

  void Feed(const std::uint8_t* bytes, std::size_t count, Sink& sink);
  void Feed(std::uint8_t byte, Sink& sink);
  // Forgets every partial message and the running status (the port closed or changed).
  void Reset();

 private:
  void dropPartial(Sink& sink);
  void startMessage(std::uint8_t status, std::size_t length, Sink& sink);

  std::uint8_t runningStatus_ = 0;  // channel status that data bytes may continue; 0: none
  std::uint8_t message_[3] = {};
  std::size_t have_ = 0;  // bytes of message_ collected
  std::size_t need_ = 0;  // bytes message_ needs to be complete
  bool inSysex_ = false;
  bool sysexOverflow_ = false;     // the block outgrew maxSysex_: dropped up to its end
  std::size_t overflowBytes_ = 0;  // of that block, counted up to its end
  std::size_t maxSysex_ = kMaxSysex;
  bool skippingUndefined_ = false;  // after F4 or F5, up to the next status byte
  std::vector<std::uint8_t> sysex_;
};

}  // namespace velmora::core
