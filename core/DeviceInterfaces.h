#pragma once

// The operations that the bridge uses on its five devices and on the port probe, and nothing
// more. The real components are reached through adapters (RealDeviceFactory creates them);
// tests use doubles. Every operation runs on the UI thread and raises on failure.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "midi/MidiEvent.h"
#include "serial/ComponentBase.h"
#include "serial/PacketConditions.h"
#include "serial/StatusLightController.h"

namespace velmora::core {

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
  // Raised on the UI thread when events wait.
  virtual void SetOnMidiInput(std::function<void(MidiInputDevice& sender)> handler) = 0;
  // Raised on the UI thread when the open device has gone away (a MIDI port that vanished).
  virtual void SetOnDeviceLost(std::function<void()> handler) { (void)handler; }
  // Raised on the UI thread for each event the full ring refused.
  virtual void SetOnOverflow(std::function<void()> handler) { (void)handler; }
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
  // A short message of the event's three bytes, or a long one when it carries sysex data;
  // raises "MIDI Output device not open" when closed.
  virtual void SendEvent(const midi::TMyMidiEvent& event) = 0;
  virtual void SetOnMidiOutput(std::function<void()> handler) = 0;
  // Raised on the UI thread when the open device has gone away.
  virtual void SetOnDeviceLost(std::function<void()> handler) { (void)handler; }
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
  virtual bool Open() const = 0;            // whether it is really open
  virtual void SetOpen(bool open) = 0;      // raises when the device does not open
  virtual std::uint16_t OutBuffFree() = 0;  // never opens the port
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

// Tells whether serial port n can be opened. Positive platform error codes: 5 access denied
// (held by another program), 2 not found.
class PortProbe {
 public:
  static constexpr int kAccessDenied = 5;
  virtual ~PortProbe() = default;
  // 0 when the port opened (it is closed again), otherwise the platform's error code.
  virtual int TryOpen(int portNumber) = 0;
  // The list entry of port n: "COM3", or "COM3 (/dev/ttyUSB0)" where a device path helps.
  virtual std::string EntryText(int portNumber) = 0;
};

// Creates the devices at start-up. A creation that raises leaves that device absent.
class DeviceFactory {
 public:
  virtual ~DeviceFactory() = default;
  virtual std::unique_ptr<ComPortDevice> CreateComPort() = 0;
  virtual std::unique_ptr<DataPacketDevice> CreateDataPacket() = 0;
  virtual std::unique_ptr<LightControllerDevice> CreateSLController() = 0;
  virtual std::unique_ptr<MidiInputDevice> CreateMidiInput() = 0;
  virtual std::unique_ptr<MidiOutputDevice> CreateMidiOutput() = 0;
  virtual std::unique_ptr<PortProbe> CreatePortProbe() = 0;
};

}  // namespace velmora::core
