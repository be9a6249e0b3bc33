#pragma once

#include <cstdint>
#include <memory>

namespace velmora::midi {

// The state of a MIDI device component.
enum class TMidiPortState { mpsOpen, mpsClosed, mpsCreating };

// One MIDI message in transit. Whoever creates or receives one owns it; the system-exclusive
// bytes belong to the event.
struct TMyMidiEvent {
  std::uint8_t StatusByte = 0;      // 0xF0 for a system-exclusive event
  std::uint8_t FirstDataByte = 0;   // 0 when the message has none
  std::uint8_t SecondDataByte = 0;  // 0 when the message has none
  std::uint32_t Timestamp = 0;      // ms since input started; 0 in events built for output
  std::uint16_t SysexSize = 0;      // bytes in SysexData
  std::unique_ptr<std::uint8_t[]> SysexData;  // null for a short message

  // A sysex event is one that carries data; the status byte alone does not decide.
  bool IsSysex() const { return SysexData != nullptr; }

  // The platform's packed short message: status in bits 0-7, data bytes above; bits 24-31
  // are ignored.
  static TMyMidiEvent FromPacked(std::uint32_t packed) {
    TMyMidiEvent event;
    event.StatusByte = static_cast<std::uint8_t>(packed & 0xFF);
    event.FirstDataByte = static_cast<std::uint8_t>((packed >> 8) & 0xFF);
    event.SecondDataByte = static_cast<std::uint8_t>((packed >> 16) & 0xFF);
    return event;
  }
  std::uint32_t Packed() const {
    return static_cast<std::uint32_t>(StatusByte) |
           (static_cast<std::uint32_t>(FirstDataByte) << 8) |
           (static_cast<std::uint32_t>(SecondDataByte) << 16);
  }
};

}  // namespace velmora::midi
