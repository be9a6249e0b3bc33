#pragma once

// The MIDI service as Windows' multimedia MIDI interface (WinMM): a pass-through.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class WinMmMidiService final : public MidiService {
 public:
  WinMmMidiService();
  ~WinMmMidiService() override;

  std::uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps, std::uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                      std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;

  std::uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps, std::uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                       std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) override;
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;

 private:
  class In;
  class Out;
  In* FindIn(HMIDIIN handle) const;
  Out* FindOut(HMIDIOUT handle) const;

  // Guards the two lists; WinMM's own calls run outside it.
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<In>> inputs_;
  std::vector<std::unique_ptr<Out>> outputs_;
};

}  // namespace velmora::platform::midi
