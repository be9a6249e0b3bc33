#pragma once

// The MIDI service over RtMidi: the ports of the ALSA sequencer, then those of a running JACK
// server, each in RtMidi's order, named by their port names. An API that is not there adds no
// device and no error. The ports of this service's own clients are not offered.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class RtMidiService final : public MidiService {
 public:
  // The largest message that RtMidi's JACK output passes on whole: its ring holds 16384
  // bytes, less one, less the length word.
  static constexpr std::size_t kJackMaxMessage = 16379;

  // `clientName` names this service's clients at ALSA and JACK ("<clientName>-<n>").
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

 private:
  struct Port;
  class Enumerator;
  class RtInput;
  class RtOutput;

  std::vector<Port> PortsLocked(bool input);
  // Each client gets a name of its own: JACK may refuse one that reuses a name just released.
  std::string NewClientName();
  bool IsOwnPort(const std::string& portName) const;
  // Any thread: a port went away or the server stopped; the checker looks at the open handles.
  void PortsChanged();
  void CheckerLoop();
  void CheckLostPorts();
  RtInput* InputLocked(HMIDIIN handle) const;
  RtOutput* OutputLocked(HMIDIOUT handle) const;

  const std::string clientName_;
  std::atomic<int> clients_{0};
  // Guards the enumerators and the lists of open handles. Never held while RtMidi opens or
  // closes a port (JACK then waits for its process thread, which may be calling back).
  mutable std::mutex mutex_;
  std::unique_ptr<Enumerator> enumerator_;
  std::vector<std::unique_ptr<RtInput>> inputs_;
  std::vector<std::unique_ptr<RtOutput>> outputs_;

  // The checker thread reports handles whose JACK port went away. Guarded by checkMutex_.
  std::mutex checkMutex_;
  std::condition_variable checkWake_;
  bool checkPending_ = false;
  bool stopping_ = false;
  std::thread checker_;  // started in the constructor, joined in the destructor
};

}  // namespace velmora::platform::midi
