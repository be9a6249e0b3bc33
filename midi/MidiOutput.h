#pragma once

// TMidiOutput: one MIDI output device of the platform (or its MIDI mapper, device -1). Short
// messages go out synchronously; a system-exclusive block goes out as a long message whose
// completion comes back through the driver callback to this component's window, which then
// releases the block and raises Onmidioutput.
//
// Create, use and destroy it on the UI thread (the thread whose message pump serves it).

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/DriverCallback.h"
#include "midi/LongMessageBuffer.h"
#include "midi/MidiEvent.h"
#include "platform/MessagePump.h"
#include "platform/midi/MidiService.h"

namespace velmora::midi {

class EmidioutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TMidiOutput {
 public:
  using TNotifyEvent = std::function<void(TMidiOutput& sender)>;

  // Selects no device: DeviceID 0 and an empty ProductName until one is written.
  explicit TMidiOutput(std::shared_ptr<platform::midi::MidiService> service);
  virtual ~TMidiOutput();
  TMidiOutput(const TMidiOutput&) = delete;
  TMidiOutput& operator=(const TMidiOutput&) = delete;

  std::int32_t DeviceID() const { return deviceID_; }
  void SetDeviceID(std::int32_t value);
  const std::string& ProductName() const { return productName_; }
  void SetProductName(const std::string& name);
  void SetOnmidioutput(TNotifyEvent handler) { onMidiOutput_ = std::move(handler); }
  // Raised on the UI thread when the open device has gone away; Close still works.
  void SetOnDeviceLost(TNotifyEvent handler) { onDeviceLost_ = std::move(handler); }
  // The last loss was a link cut from outside while the device stayed (read in OnDeviceLost).
  bool LinkCut() const { return linkCut_; }

  std::uint16_t Error() const { return error_; }
  std::uint32_t DriverVersion() const { return driverVersion_; }
  std::uint8_t Technology() const { return technology_; }
  std::uint16_t Voices() const { return voices_; }
  std::uint16_t Notes() const { return notes_; }
  std::uint16_t ChannelMask() const { return channelMask_; }
  std::uint32_t Support() const { return support_; }
  std::uint16_t DeviceCount() const { return deviceCount_; }
  TMidiPortState State() const { return state_; }
  // Long messages sent and not yet completed.
  std::size_t PendingLongMessages() const { return pending_.size(); }

  // True when the device opened; never raises.
  virtual bool Open();
  // True when an open device was closed; raises when the platform refuses.
  virtual bool Close();
  // Raises "MIDI Output device not open" when closed.
  virtual void SendEvent(const TMyMidiEvent& event);
  // The longest message the open device takes as one event (65535 while closed).
  std::size_t LargestEvent() const;
  virtual void SendShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  virtual void SendLong(const std::uint8_t* data, std::uint16_t length);
  std::string ErrorText(platform::midi::MMRESULT code) const;

 private:
  platform::midi::MMRESULT Store(platform::midi::MMRESULT result);
  void Check(platform::midi::MMRESULT result);
  std::intptr_t WindowProc(const platform::Message& message);
  std::unique_ptr<platform::MessageWindow> NewWindow();

  const std::shared_ptr<platform::midi::MidiService> service_;
  // Everything below belongs to the UI thread. The driver thread reaches the context and the
  // headers of long messages in play, from midiOutLongMsg until their MOM_DONE.
  platform::midi::HMIDIOUT handle_ = nullptr;
  TMidiPortState state_ = TMidiPortState::mpsClosed;
  std::unique_ptr<TCallbackContext> context_;
  std::uint16_t error_ = 0;
  std::int32_t deviceID_ = 0;
  std::uint32_t driverVersion_ = 0;
  std::string productName_;
  std::uint8_t technology_ = 0;
  std::uint16_t voices_ = 0;
  std::uint16_t notes_ = 0;
  std::uint16_t channelMask_ = 0;
  std::uint32_t support_ = 0;
  std::uint16_t deviceCount_ = 0;
  TNotifyEvent onMidiOutput_;
  TNotifyEvent onDeviceLost_;
  bool linkCut_ = false;
  std::vector<std::unique_ptr<TMyMidiHdr>> pending_;  // long messages in play
  platform::PumpThreadCheck onUiThread_;
  // Last: destroyed first, with its waiting messages. Renewed at each close, so that news of a
  // device closed since (its loss) never reaches the next one.
  std::unique_ptr<platform::MessageWindow> window_;
};

}  // namespace velmora::midi
