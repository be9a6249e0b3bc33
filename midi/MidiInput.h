#pragma once

// TMidiInput: one MIDI input device of the platform. The driver callback stores what arrives
// in the event ring and wakes this component's window when the ring was empty; on the UI
// thread the window raises OnMidiInput, whose handler drains the ring with EventCount and
// TakeEvent (the next wake comes only once it is empty again).
//
// Create, use and destroy it on the UI thread (the thread whose message pump serves it).

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/DriverCallback.h"
#include "midi/EventRing.h"
#include "midi/LongMessageBuffer.h"
#include "midi/MidiEvent.h"
#include "platform/MessagePump.h"
#include "platform/midi/MidiService.h"

namespace velmora::midi {

class EMidiInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TMidiInput {
 public:
  using TNotifyEvent = std::function<void(TMidiInput& sender)>;
  // `refused`: the events the full ring refused in one overflow episode, at least 1.
  using TOverflowEvent = std::function<void(TMidiInput& sender, std::uint64_t refused)>;

  // Selects device 0; raises "Invalid device ID" when the service has no input device.
  explicit TMidiInput(std::shared_ptr<platform::midi::MidiService> service);
  ~TMidiInput();
  TMidiInput(const TMidiInput&) = delete;
  TMidiInput& operator=(const TMidiInput&) = delete;

  std::uint16_t DeviceID() const { return deviceID_; }
  void SetDeviceID(std::uint16_t value);
  const std::string& ProductName() const { return productName_; }
  void SetProductName(const std::string& name);
  std::uint16_t Capacity() const { return capacity_; }
  void SetCapacity(std::uint16_t value) { capacity_ = value; }  // counts from the next Open
  std::uint16_t Error() const { return error_; }
  std::uint16_t SysexBufferSize() const { return sysexBufferSize_; }
  void SetSysexBufferSize(std::uint16_t value);
  std::uint16_t SysexBufferCount() const { return sysexBufferCount_; }
  void SetSysexBufferCount(std::uint16_t value);
  bool SysexOnly() const { return sysexOnly_; }
  void SetSysexOnly(bool value);
  // The short messages the driver callback drops (ShortStatusBit classes); takes effect at once.
  std::uint32_t DroppedShort() const { return droppedShort_; }
  void SetDroppedShort(std::uint32_t statuses);
  void SetOnMidiInput(TNotifyEvent handler) { onMidiInput_ = std::move(handler); }
  // Raised once per overflow episode, however many events it refused.
  void SetOnOverflow(TOverflowEvent handler) { onOverflow_ = std::move(handler); }
  // Raised once per episode of incomplete or malformed messages the service refused, with
  // their count.
  void SetOnMalformed(TOverflowEvent handler) { onMalformed_ = std::move(handler); }
  // Raised on the UI thread when the open device has gone away; Close still works.
  void SetOnDeviceLost(TNotifyEvent handler) { onDeviceLost_ = std::move(handler); }
  // The last loss was a link cut from outside while the device stayed (read in OnDeviceLost).
  bool LinkCut() const { return linkCut_; }

  std::uint32_t DriverVersion() const { return driverVersion_; }
  std::uint16_t ManufacturerID() const { return manufacturerID_; }
  std::uint16_t ProductID() const { return productID_; }
  std::uint16_t DeviceCount() const { return deviceCount_; }
  TMidiPortState State() const { return state_; }

  // Never raises: a failure leaves the component closed with Error set.
  void Open();
  void Close();
  void Start();
  void Stop();
  std::uint16_t EventCount() const;
  // The oldest waiting item as a new event, or null when none waits or the device is closed.
  std::unique_ptr<TMyMidiEvent> TakeEvent();
  // The same into an event of the caller's: a short message costs no allocation. False when
  // none waits.
  bool TakeEvent(TMyMidiEvent& into);
  std::string ErrorText(platform::midi::MMRESULT code) const;

 private:
  platform::midi::MMRESULT Store(platform::midi::MMRESULT result);
  void Check(platform::midi::MMRESULT result);
  void CreateSysexBuffers();
  void QueueSysexBuffers();
  void FreeSysexBuffers();
  // Resets and closes the platform device without raising; false while it stays open there.
  bool ReleaseDevice() noexcept;
  std::unique_ptr<platform::MessageWindow> NewWindow();
  std::intptr_t WindowProc(const platform::Message& message);

  const std::shared_ptr<platform::midi::MidiService> service_;
  // Everything below belongs to the UI thread. The driver thread reaches only the context, the
  // ring and the queued headers, and only between midiInOpen and midiInClose.
  platform::midi::HMIDIIN handle_ = nullptr;  // held while the platform device is open
  TMidiPortState state_ = TMidiPortState::mpsCreating;
  std::uint16_t error_ = 0;
  std::uint16_t deviceID_ = 0;
  bool sysexOnly_ = false;
  std::uint32_t droppedShort_ = kLoneNoise;
  std::uint32_t driverVersion_ = 0;
  std::string productName_;
  std::uint16_t manufacturerID_ = 0;
  std::uint16_t productID_ = 0;
  std::uint16_t capacity_ = 1024;
  std::unique_ptr<TEventRing> ring_;
  std::uint16_t deviceCount_ = 0;
  TNotifyEvent onMidiInput_;
  TOverflowEvent onOverflow_;
  TOverflowEvent onMalformed_;
  TNotifyEvent onDeviceLost_;
  bool linkCut_ = false;
  std::uint16_t sysexBufferSize_ = 4096;
  std::uint16_t sysexBufferCount_ = 16;
  std::vector<std::unique_ptr<TMyMidiHdr>> sysexBuffers_;
  std::unique_ptr<TCallbackContext> context_;
  // Last: destroyed first, with its waiting messages. Replaced at each close, so that what
  // the closed device posted never reaches the next session.
  std::unique_ptr<platform::MessageWindow> window_;
  platform::PumpThreadCheck onUiThread_;
};

}  // namespace velmora::midi
