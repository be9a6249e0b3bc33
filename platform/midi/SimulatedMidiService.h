#pragma once

// A MIDI service of virtual devices, for tests and the benchmark harness. Input arrives from
// the user of the simulation (Play*), is delivered on the service's own driver thread in the
// order it was played, and reaches the open handle of its device once input is started. Every
// short and long message sent to an output is recorded. Any call can be made to fail.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class SimulatedMidiService final : public MidiService {
 public:
  enum class Call {
    InGetDevCaps,
    InOpen,
    InPrepareHeader,
    InUnprepareHeader,
    InAddBuffer,
    InStart,
    InStop,
    InReset,
    InClose,
    InGetErrorText,
    OutGetDevCaps,
    OutOpen,
    OutShortMsg,
    OutPrepareHeader,
    OutUnprepareHeader,
    OutLongMsg,
    OutReset,
    OutClose,
    OutGetErrorText,
  };

  // One message that reached an output: a short one (packed) or a long one (bytes).
  struct Sent {
    bool isLong = false;
    std::uint32_t packed = 0;
    std::vector<std::uint8_t> bytes;
  };

  // A virtual device, named once for its whole life.
  using DeviceKey = int;

  SimulatedMidiService();
  ~SimulatedMidiService() override;
  SimulatedMidiService(const SimulatedMidiService&) = delete;
  SimulatedMidiService& operator=(const SimulatedMidiService&) = delete;

  // ---- for the simulation's user (any thread) -------------------------------------------
  DeviceKey AddInput(const std::string& name);
  DeviceKey AddOutput(const std::string& name);
  // The device goes away: it leaves the device numbers; an open handle on it stays valid, its
  // input stops and its sends fail with MIDIERR_NODEVICE, until it is closed.
  void Remove(DeviceKey device);

  // Queues one message (short, or a system-exclusive part) for an input device. False when
  // the device is gone.
  bool Play(DeviceKey input, std::vector<std::uint8_t> message);
  bool PlayShort(DeviceKey input, std::uint32_t packed);
  // Waits until the driver thread has handled everything queued before this call.
  void Flush();

  // The longest event its outputs take from now on (65535 unless set).
  void SetLargestEvent(std::size_t bytes) { largestEvent_ = bytes; }

  // Long messages stay in play (no MOM_DONE) while held; releasing completes them in order.
  void HoldLongMessages(bool hold);

  // The next `times` calls of `call` fail with `result`.
  void FailNext(Call call, MMRESULT result, int times = 1);

  std::vector<Sent> SentTo(DeviceKey output) const;
  // Waits until `count` messages reached the output, at most `bound`.
  bool WaitSent(DeviceKey output, std::size_t count, std::chrono::milliseconds bound) const;
  // Handles that are open now, inputs and outputs together.
  int OpenHandles() const;

  // ---- MidiService ------------------------------------------------------------------------
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
  std::size_t LargestOutputEvent(HMIDIOUT) const override { return largestEvent_; }
  // Runs on the driver thread after each AddInput, AddOutput and Remove.
  void SetPortsChangedCallback(std::function<void()> callback) override;

 private:
  struct Device;
  class SimInput;
  class SimOutput;

  MMRESULT Injected(Call call);
  std::shared_ptr<Device> FindLocked(bool input, std::intptr_t id) const;
  SimInput* InputLocked(HMIDIIN handle) const;
  SimOutput* OutputLocked(HMIDIOUT handle) const;
  void Post(std::function<void()> task);
  void PostPortsChanged();
  void DriverLoop();

  // Guards the devices, the handles, the failures, the hold flag, the held messages and the
  // ports-changed callback.
  mutable std::mutex mutex_;
  mutable std::condition_variable sentChanged_;
  std::vector<std::shared_ptr<Device>> devices_;  // present ones, in creation order
  std::vector<std::shared_ptr<Device>> all_;      // every device ever added, for its record
  std::vector<std::unique_ptr<SimInput>> inputs_;
  std::vector<std::unique_ptr<SimOutput>> outputs_;
  std::map<Call, std::deque<MMRESULT>> failures_;
  bool hold_ = false;
  std::atomic<std::size_t> largestEvent_{kLargestEvent};  // any thread
  DeviceKey nextKey_ = 1;
  std::function<void()> portsChanged_;

  // The driver thread's work. Guarded by taskMutex_; the thread is the only consumer.
  std::mutex taskMutex_;
  std::condition_variable taskArrived_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread driver_;  // started last, joined first
};

}  // namespace velmora::platform::midi
