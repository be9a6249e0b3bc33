#pragma once

// The MIDI service when JACK support is built but no JACK server ran at start: the lists are
// another service's (the ALSA sequencer's) while no server answers, JACK's as soon as one does
// (the JACK service asks for one once a second and raises ports-changed when it finds it), and
// the other's again once it stops. Whenever a server runs, Velmora talks to JACK, as if it had
// run at start; before, MIDI still works through ALSA.
//
// Which service the lists come from is decided when a list is counted and kept until the next
// count: a count, the capability queries that follow it and an open by number all read the same
// list. An open device belongs to the service that opened it until it is closed; a device of
// the service whose lists are left is not listed any more, and the bridge treats it as gone.

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/midi/JackMidiService.h"
#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class JackFollowingMidiService final : public MidiService {
 public:
  JackFollowingMidiService(std::shared_ptr<JackMidiService> jack,
                           std::shared_ptr<MidiService> other);
  ~JackFollowingMidiService() override;
  JackFollowingMidiService(const JackFollowingMidiService&) = delete;
  JackFollowingMidiService& operator=(const JackFollowingMidiService&) = delete;

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

  // Raised on either service's thread: a change of the other's ports, JACK's, or a server that
  // comes or goes. Never after this returns with an empty function.
  void SetPortsChangedCallback(std::function<void()> callback) override;
  std::optional<ProcessTimes> ProcessCallbackTimes() const override;
  // JACK's while a server answers, else the other's.
  std::string Name() override;
  // JACK's input only: the other service goes on delivering on its own thread.
  int CallerDeliversInput() override;
  void DeliverInput() override;
  void SetExactTiming(bool exact) override;
  std::optional<bool> ExactTimingInForce() override;
  std::size_t LargestOutputEvent(HMIDIOUT handle) const override;

 private:
  MidiService& Listing(bool input);
  MidiService& Listed(bool input);
  MidiService* Owner(const void* handle) const;
  void Own(const void* handle, MidiService& service);
  // The service that owned it, now no longer; null for a handle not ours.
  MidiService* Disown(const void* handle);
  void RaisePortsChanged();

  const std::shared_ptr<JackMidiService> jack_;
  const std::shared_ptr<MidiService> other_;

  // Guards which service each direction lists and which service each open handle belongs to.
  // Never held while either service is called.
  mutable std::mutex mutex_;
  MidiService* inputs_;   // the service of the last input count
  MidiService* outputs_;  // the service of the last output count
  std::map<const void*, MidiService*> owners_;

  // Guards the ports-changed callback and is held while it runs; taken by the services'
  // threads, never while a service is called.
  std::mutex callbackMutex_;
  std::function<void()> portsChanged_;
};

}  // namespace velmora::platform::midi
