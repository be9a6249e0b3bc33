#include <cstdlib>
#include <string>
#include <utility>

#include "platform/midi/MidiService.h"
#include "platform/midi/SimulatedMidiService.h"

#if defined(VELMORA_MIDI_WINMM)
#include "platform/midi/WinMmMidiService.h"
#elif defined(VELMORA_MIDI_RTMIDI)
#include "platform/midi/RtMidiService.h"
#endif
#if defined(VELMORA_MIDI_JACK)
#include "platform/midi/JackFollowingMidiService.h"
#include "platform/midi/JackMidiService.h"
#endif

namespace velmora::platform::midi {

namespace {

std::shared_ptr<MidiService> SystemService() {
#if defined(VELMORA_MIDI_WINMM)
  return std::make_shared<WinMmMidiService>();
#elif defined(VELMORA_MIDI_RTMIDI)
  return std::make_shared<RtMidiService>();
#else
  return std::make_shared<SimulatedMidiService>();
#endif
}

}  // namespace

std::shared_ptr<MidiService> MakeDefaultMidiService(const std::string& jackClientName) {
#if defined(VELMORA_MIDI_JACK)
  // VELMORA_MIDI=jack keeps JACK without a server; =alsa (or rtmidi) never asks JACK.
  const char* chosen = std::getenv("VELMORA_MIDI");
  const std::string choice = chosen != nullptr ? chosen : "";
  if (choice != "alsa" && choice != "rtmidi") {
    auto jack = std::make_shared<JackMidiService>(jackClientName);
    if (choice == "jack" || jack->Connected()) return jack;
    // No server yet: ALSA's ports until one starts (from a patchbay or a session manager).
    return std::make_shared<JackFollowingMidiService>(std::move(jack), SystemService());
  }
#else
  (void)jackClientName;
#endif
  return SystemService();
}

}  // namespace velmora::platform::midi
