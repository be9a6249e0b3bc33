#include "platform/midi/MidiService.h"
#include "platform/midi/SimulatedMidiService.h"

#if defined(VELMORA_MIDI_WINMM)
#include "platform/midi/WinMmMidiService.h"
#elif defined(VELMORA_MIDI_RTMIDI)
#include "platform/midi/RtMidiService.h"
#endif

namespace velmora::platform::midi {

std::shared_ptr<MidiService> MakeDefaultMidiService() {
#if defined(VELMORA_MIDI_WINMM)
  return std::make_shared<WinMmMidiService>();
#elif defined(VELMORA_MIDI_RTMIDI)
  return std::make_shared<RtMidiService>();
#else
  return std::make_shared<SimulatedMidiService>();
#endif
}

}  // namespace velmora::platform::midi
