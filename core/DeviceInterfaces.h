#pragma once

// The operations that the bridge uses on its five devices and on the port probe, and nothing
// more. The real components are reached through adapters (RealDeviceFactory creates them);
// tests use doubles. Every operation runs on the UI thread and raises on failure.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/MidiEvent.h"
#include "platform/midi/OutsideLink.h"
#include "serial/ComponentBase.h"
#include "serial/PacketConditions.h"
#include "serial/StatusLightController.h"

namespace velmora::core {

// The product names of a device class's devices, one number at a time: what a device reads
// when it has no quicker way to list them.
template <typename Device>
std::vector<std::string> NamesByNumber(Device& device) {
  std::vector<std::string> names;
  for (std::uint16_t id = 0; id < device.DeviceCount(); ++id) {
    device.SetDeviceID(id);
    names.push_back(device.ProductName());
  }
  return names;
}

class MidiInputDevice {
 public:
  virtual ~MidiInputDevice() = default;
  virtual std::uint16_t DeviceCount() const = 0;
  virtual void SetDeviceID(std::uint16_t id) = 0;  // raises for a number that is not a device
  virtual std::string ProductName() const = 0;
  virtual void SetProductName(const std::string& name) = 0;  // raises when no device has it
  virtual void Open() = 0;                                   // never raises
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual void Close() = 0;
  virtual midi::TMidiPortState State() const = 0;
  virtual std::uint16_t EventCount() const = 0;
  virtual std::unique_ptr<midi::TMyMidiEvent> TakeEvent() = 0;
  // The same into the caller's event (no allocation for a short message where the device
  // allows); false when none waits.
  virtual bool TakeEvent(midi::TMyMidiEvent& into) {
    auto event = TakeEvent();
    if (!event) return false;
    into = std::move(*event);
    return true;
  }
  // Raised on the UI thread when events wait.
  virtual void SetOnMidiInput(std::function<void(MidiInputDevice& sender)> handler) = 0;
  // Raised on the UI thread when the open device has gone away (a MIDI port that vanished), or
  // when its link was cut from outside while the port stayed (LinkCut, read in the handler).
  virtual void SetOnDeviceLost(std::function<void()> handler) { (void)handler; }
  virtual bool LinkCut() const { return false; }
  // Raised on the UI thread once per overflow episode with the number of events the full
  // ring refused in it.
  virtual void SetOnOverflow(std::function<void(std::uint64_t refused)> handler) { (void)handler; }
  // Raised on the UI thread once per episode of incomplete messages the service refused, with
  // their count.
  virtual void SetOnMalformed(std::function<void(std::uint64_t refused)> handler) { (void)handler; }
  // Short messages of these status classes (midi::ShortStatusBit) are left where they arrive:
  // the kinds the user does not forward. The bridge filters them itself as well.
  virtual void SetDroppedShort(std::uint32_t statuses) { (void)statuses; }
  // The names of the inputs the service has now, whether this one is open or not.
  virtual std::vector<std::string> PortNames() { return NamesByNumber(*this); }
  // The MIDI service's result code of the last failed call and its text; 0 when unknown.
  virtual std::uint32_t LastError() const { return 0; }
  virtual std::string LastErrorText() const { return {}; }
};

class MidiOutputDevice {
 public:
  virtual ~MidiOutputDevice() = default;
  virtual std::uint16_t DeviceCount() const = 0;
  virtual void SetDeviceID(std::int32_t id) = 0;
  virtual std::string ProductName() const = 0;
  virtual void SetProductName(const std::string& name) = 0;
  virtual bool Open() = 0;  // never raises
  virtual void Close() = 0;
  // What the component is now, whatever its shape shows.
  virtual bool IsOpen() const = 0;
  // A short message of the event's three bytes, or a long one when it carries sysex data;
  // raises "MIDI Output device not open" when closed.
  virtual void SendEvent(const midi::TMyMidiEvent& event) = 0;
  // The longest message the open output takes as one event, in bytes.
  virtual std::size_t LargestEvent() const { return 0xFFFF; }
  virtual void SetOnMidiOutput(std::function<void()> handler) = 0;
  // Raised on the UI thread when the open device has gone away, or its link was cut (LinkCut).
  virtual void SetOnDeviceLost(std::function<void()> handler) { (void)handler; }
  virtual bool LinkCut() const { return false; }
  // The names of the outputs the service has now, whether this one is open or not.
  virtual std::vector<std::string> PortNames() { return NamesByNumber(*this); }
  // The MIDI service's result code of the last failed call and its text; 0 when unknown.
  virtual std::uint32_t LastError() const { return 0; }
  virtual std::string LastErrorText() const { return {}; }
};

class ComPortDevice {
 public:
  virtual ~ComPortDevice() = default;
  virtual std::uint16_t ComNumber() const = 0;
  virtual void SetComNumber(std::uint16_t number) = 0;
  virtual std::int32_t Baud() const = 0;
  virtual void SetBaud(std::int32_t baud) = 0;
  // Devices that keep today's fixed 8N1 line raise.
  virtual void SetLine(std::uint16_t dataBits, serial::TParity parity, std::uint16_t stopBits) {
    (void)dataBits, (void)parity, (void)stopBits;
    throw std::logic_error("fixed line");
  }
  virtual std::uint16_t DataBits() const = 0;
  virtual std::uint16_t StopBits() const = 0;
  virtual serial::TParity Parity() const = 0;
  virtual serial::THWFlowOptionSet HWFlowOptions() const = 0;
  virtual serial::TSWFlowOptions SWFlowOptions() const = 0;
  // Devices without flow control raise.
  virtual void SetFlowOptions(serial::THWFlowOptionSet hw, serial::TSWFlowOptions sw) {
    (void)hw, (void)sw;
    throw std::logic_error("no flow control");
  }
  virtual bool Open() const = 0;            // whether it is really open
  virtual void SetOpen(bool open) = 0;      // raises when the device does not open
  virtual std::uint16_t OutBuffFree() = 0;  // never opens the port
  // Bytes in the output buffer not yet given to the device.
  virtual std::uint16_t OutBuffUsed() { return 0; }
  virtual void PutBlock(const std::uint8_t* bytes, std::uint16_t count) = 0;
  // Raised on the UI thread when the open device has gone away (a USB adapter pulled).
  virtual void SetOnDeviceLost(std::function<void()> handler) { (void)handler; }
  // The system's error number (errno) behind the last failed opening; 0 when unknown.
  virtual int LastOpenError() const { return 0; }
};

class DataPacketDevice {
 public:
  using PacketHandler = std::function<void(const std::uint8_t* data, std::int32_t size)>;
  virtual ~DataPacketDevice() = default;
  virtual void SetComPort(ComPortDevice* port) = 0;  // null detaches
  virtual void SetStartCond(serial::TPacketStartCond cond) = 0;
  virtual void SetEndCond(serial::TPacketEndSet cond) = 0;
  virtual void SetPacketSize(std::int32_t size) = 0;
  virtual void SetTimeOut(std::int32_t ticks) = 0;
  // Raised on the UI thread once per packet; data is valid only during the call.
  virtual void SetOnPacket(PacketHandler handler) = 0;
  virtual void SetAutoEnable(bool on) = 0;
  virtual void SetEnabled(bool on) = 0;
};

class LightControllerDevice {
 public:
  virtual ~LightControllerDevice() = default;
  virtual void SetComPort(ComPortDevice* port) = 0;
  virtual void SetTXDLight(serial::TApdCustomStatusLight* lamp) = 0;
  virtual void SetRXDLight(serial::TApdCustomStatusLight* lamp) = 0;
  virtual bool Monitoring() const = 0;
  virtual void SetMonitoring(bool on) = 0;
};

// One entry of the serial list: its COM number (a label), its text and its identity (what a
// choice remembers and what is opened).
struct SerialEntry {
  int number = 0;
  std::string text;      // "COM3 (/dev/ttyUSB0)"
  std::string identity;  // "/dev/serial/by-id/..." or "/dev/ttyUSB0"
  bool operator==(const SerialEntry&) const = default;
};

// The serial ports the machine has.
class PortProbe {
 public:
  virtual ~PortProbe() = default;
  // The ports present now, in COM order, from the name space alone: nothing is opened.
  virtual std::vector<SerialEntry> Ports() = 0;
};

// Watches the devices while it lives; destroying it stops every notification.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};

// Creates the devices at start-up. A creation that raises leaves that device absent.
class DeviceFactory {
 public:
  virtual ~DeviceFactory() = default;
  // Calls `serialChanged` when serial devices may have come or gone, `midiChanged` when MIDI
  // ports may have; both on a thread of the watch, never blocking. Null when nothing watches
  // (the lists are then read only at start).
  virtual std::unique_ptr<DeviceWatch> WatchDevices(std::function<void()> serialChanged,
                                                    std::function<void()> midiChanged) {
    (void)serialChanged, (void)midiChanged;
    return nullptr;
  }
  virtual std::unique_ptr<ComPortDevice> CreateComPort() = 0;
  virtual std::unique_ptr<DataPacketDevice> CreateDataPacket() = 0;
  virtual std::unique_ptr<LightControllerDevice> CreateSLController() = 0;
  virtual std::unique_ptr<MidiInputDevice> CreateMidiInput() = 0;
  virtual std::unique_ptr<MidiOutputDevice> CreateMidiOutput() = 0;
  virtual std::unique_ptr<PortProbe> CreatePortProbe() = 0;
  // The MIDI service in use as the log names it ("JACK (PipeWire 0.3.65)"); empty for one
  // without a name worth telling.
  virtual std::string MidiServiceName() { return {}; }
  // Links that another program made to the open MIDI devices' ports since the last call.
  virtual std::vector<platform::midi::OutsideLink> TakeMidiOutsideLinks() { return {}; }
};

}  // namespace velmora::core
