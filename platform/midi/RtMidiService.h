#pragma once

// The MIDI service over RtMidi: the ports of the ALSA sequencer, in RtMidi's order, named by
// their port names. Without a sequencer it lists nothing and reports no error. The ports of
// this service's own clients are not offered. JACK has a back end of its own.
//
// RtMidi tells nothing when ports come and go: while a ports-changed callback is set, a watch
// thread compares the lists once a second, raises the callback when they differ and reports
// open devices whose port is no longer listed as lost.

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class RtMidiService final : public MidiService {
 public:
  // `clientName` names this service's ALSA clients ("<clientName>-<n>").
  explicit RtMidiService(std::string clientName = DefaultClientName());
  ~RtMidiService() override;

  static std::string DefaultClientName();

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
  // Raised on the watch thread. Never after this returns with an empty function.
  void SetPortsChangedCallback(std::function<void()> callback) override;

 private:
  struct Port;
  class Enumerator;
  class RtInput;
  class RtOutput;

  using PortNames = std::array<std::vector<std::string>, 2>;  // inputs, outputs

  std::vector<Port> PortsLocked(bool input);
  // The result of an open that found no port at its number, or that RtMidi refused.
  MMRESULT NoPortLocked(bool input);
  MMRESULT OpenRefused(const Port& port, bool input);
  std::string NewClientName();
  bool IsOwnPort(const std::string& portName) const;
  // Watch thread: the names listed now; open devices whose port is not among them are lost.
  PortNames ListNames();
  void WatchLoop();
  RtInput* InputLocked(HMIDIIN handle) const;
  RtOutput* OutputLocked(HMIDIOUT handle) const;

  const std::string clientName_;
  std::atomic<int> clients_{0};
  // Guards the enumerators and the lists of open handles. Never held while RtMidi opens or
  // closes a port (closing waits for RtMidi's input thread, which may be calling back).
  mutable std::mutex mutex_;
  std::unique_ptr<Enumerator> enumerator_;
  std::vector<std::unique_ptr<RtInput>> inputs_;
  std::vector<std::unique_ptr<RtOutput>> outputs_;

  // Guards the callback and the stop flag; held while the callback runs. Never taken with
  // mutex_ held, nor mutex_ with it held.
  std::mutex watchMutex_;
  std::condition_variable watchWake_;
  std::function<void()> portsChanged_;
  bool stopping_ = false;
  std::thread watch_;  // started in the constructor, joined first in the destructor
};

}  // namespace velmora::platform::midi
