#include "platform/midi/MidiService.h"

#include <algorithm>
#include <cstring>

namespace velmora::platform::midi {

std::string ResultText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The operation completed successfully.";
    case MMSYSERR_ERROR:
      return "Unspecified MIDI error.";
    case MMSYSERR_BADDEVICEID:
      return "The specified MIDI device number is out of range.";
    case MMSYSERR_ALLOCATED:
      return "The MIDI device is already in use.";
    case MMSYSERR_INVALHANDLE:
      return "The MIDI device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "The MIDI service is not available.";
    case MMSYSERR_NOMEM:
      return "Not enough memory for the MIDI operation.";
    case MMSYSERR_BADERRNUM:
      return "The error number is out of range.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to the MIDI service.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to the MIDI service.";
    case MIDIERR_UNPREPARED:
      return "The MIDI header was not prepared.";
    case MIDIERR_STILLPLAYING:
      return "MIDI data is still being played or buffers are still queued.";
    case MIDIERR_NOTREADY:
      return "The MIDI device is busy.";
    case MIDIERR_NODEVICE:
      return "The MIDI device is no longer present.";
    case MIDIERR_TOOLONG:
      return "The MIDI message is too long for this device.";
    default:
      return {};
  }
}

MMRESULT CopyErrorText(const std::string& text, char* buffer, std::uint32_t size) {
  if (text.empty()) return MMSYSERR_BADERRNUM;
  if (buffer == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  const auto length = std::min<std::size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return MMSYSERR_NOERROR;
}

std::size_t ShortMessageLength(std::uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xC0) return 3;
  if (status < 0xE0) return 2;
  if (status < 0xF0) return 3;
  switch (status) {
    case 0xF0:
    case 0xF7:
      return 0;
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;
  }
}

}  // namespace velmora::platform::midi
