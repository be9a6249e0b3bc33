#pragma once

// Test doubles of the bridge's devices: they record what the bridge asks of them and fail on
// demand.

#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DeviceInterfaces.h"
#include "support/FakeDeviceList.h"

namespace velmora::test {

struct FakeComPort final : core::ComPortDevice {
  std::uint16_t number = 0;
  std::int32_t baud = 19200;
  std::uint16_t dataBits = 8;
  std::uint16_t stopBits = 1;
  serial::TParity parity = serial::TParity::pNone;
  serial::THWFlowOptionSet hwFlow = 0;
  serial::TSWFlowOptions swFlow = serial::TSWFlowOptions::swfNone;
  bool open = false;
  std::set<int> failingPorts;  // numbers whose opening raises
  std::uint16_t outFree = 4096;
  bool putBlockRaises = false;
  std::vector<std::vector<std::uint8_t>> written;
  std::vector<bool> openRequests;
  std::function<void()> onSetOpen;  // runs inside SetOpen, before the change
  std::function<void()> onLost;

  std::uint16_t ComNumber() const override { return number; }
  void SetComNumber(std::uint16_t n) override { number = n; }
  std::int32_t Baud() const override { return baud; }
  void SetBaud(std::int32_t b) override { baud = b; }
  void SetLine(std::uint16_t bits, serial::TParity p, std::uint16_t stop) override {
    dataBits = bits, parity = p, stopBits = stop;
  }
  std::uint16_t DataBits() const override { return dataBits; }
  std::uint16_t StopBits() const override { return stopBits; }
  serial::TParity Parity() const override { return parity; }
  serial::THWFlowOptionSet HWFlowOptions() const override { return hwFlow; }
  serial::TSWFlowOptions SWFlowOptions() const override { return swFlow; }
  void SetFlowOptions(serial::THWFlowOptionSet hw, serial::TSWFlowOptions sw) override {
    hwFlow = hw, swFlow = sw;
  }
  bool Open() const override { return open; }
  void SetOpen(bool value) override {
    openRequests.push_back(value);
    if (onSetOpen) onSetOpen();
    if (value && failingPorts.count(number)) throw std::runtime_error("cannot open");
    open = value;
  }
  std::uint16_t OutBuffFree() override { return outFree; }
  void PutBlock(const std::uint8_t* bytes, std::uint16_t count) override {
    if (putBlockRaises) throw std::runtime_error("write failed");
    if (!open) throw std::runtime_error("port closed");
    written.emplace_back(bytes, bytes + count);
  }
  void SetOnDeviceLost(std::function<void()> h) override { onLost = std::move(h); }
};

struct FakeDataPacket final : core::DataPacketDevice {
  core::ComPortDevice* port = nullptr;
  serial::TPacketStartCond startCond = serial::TPacketStartCond::scString;
  serial::TPacketEndSet endCond = 0;
  std::int32_t packetSize = 0;
  std::int32_t timeOut = 2184;
  PacketHandler onPacket;
  bool autoEnable = false;
  bool enabled = false;
  std::vector<std::string>* journal = nullptr;

  void SetComPort(core::ComPortDevice* p) override {
    port = p;
    if (journal) journal->push_back(p ? "packet.attach" : "packet.detach");
  }
  void SetStartCond(serial::TPacketStartCond c) override { startCond = c; }
  void SetEndCond(serial::TPacketEndSet c) override { endCond = c; }
  void SetPacketSize(std::int32_t s) override { packetSize = s; }
  void SetTimeOut(std::int32_t t) override { timeOut = t; }
  void SetOnPacket(PacketHandler h) override { onPacket = std::move(h); }
  void SetAutoEnable(bool on) override { autoEnable = on; }
  void SetEnabled(bool on) override { enabled = on; }
  ~FakeDataPacket() override {
    if (journal) journal->push_back("packet.release");
  }
};

struct FakeLightController final : core::LightControllerDevice {
  core::ComPortDevice* port = nullptr;
  serial::TApdCustomStatusLight* tx = nullptr;
  serial::TApdCustomStatusLight* rx = nullptr;
  bool monitoring = false;
  std::vector<std::string>* journal = nullptr;

  void SetComPort(core::ComPortDevice* p) override { port = p; }
  void SetTXDLight(serial::TApdCustomStatusLight* l) override { tx = l; }
  void SetRXDLight(serial::TApdCustomStatusLight* l) override { rx = l; }
  bool Monitoring() const override { return monitoring; }
  void SetMonitoring(bool on) override { monitoring = on; }
  ~FakeLightController() override {
    if (journal) journal->push_back("controller.release");
  }
};

struct FakeMidiInput final : testing::FakeDeviceList<core::MidiInputDevice, std::uint16_t> {
  FakeMidiInput() : FakeDeviceList("MIDI input") {}
  bool opens = true;
  bool openRaises = false;
  bool listRaises = false;
  midi::TMidiPortState state = midi::TMidiPortState::mpsClosed;
  std::deque<midi::TMyMidiEvent> events;
  std::function<void(MidiInputDevice&)> onInput;
  std::function<void(std::uint64_t)> onOverflow;
  std::vector<std::string> calls;
  std::vector<std::string>* journal = nullptr;

  void SetDeviceID(std::uint16_t id) override {
    if (listRaises) throw std::runtime_error("Invalid device ID");
    Choose(id);
  }
  void Open() override {
    calls.push_back("Open");
    if (openRaises) throw std::runtime_error("open failed");
    if (opens) state = midi::TMidiPortState::mpsOpen;
  }
  void Start() override { calls.push_back("Start"); }
  void Stop() override { calls.push_back("Stop"); }
  void Close() override {
    calls.push_back("Close");
    state = midi::TMidiPortState::mpsClosed;
  }
  midi::TMidiPortState State() const override { return state; }
  std::uint16_t EventCount() const override { return static_cast<std::uint16_t>(events.size()); }
  std::unique_ptr<midi::TMyMidiEvent> TakeEvent() override {
    if (events.empty()) return nullptr;
    auto event = std::make_unique<midi::TMyMidiEvent>(std::move(events.front()));
    events.pop_front();
    return event;
  }
  void SetOnMidiInput(std::function<void(MidiInputDevice&)> h) override { onInput = std::move(h); }
  void SetOnOverflow(std::function<void(std::uint64_t)> h) override { onOverflow = std::move(h); }
  ~FakeMidiInput() override {
    if (journal) journal->push_back("midiin.release");
  }
};

struct SentEvent {
  std::uint8_t status = 0, data1 = 0, data2 = 0;
  std::vector<std::uint8_t> sysex;
  bool operator==(const SentEvent&) const = default;
};

struct FakeMidiOutput final : testing::FakeDeviceList<core::MidiOutputDevice, std::int32_t> {
  FakeMidiOutput() : FakeDeviceList("MIDI output") {}
  bool opens = true;
  bool isOpen = false;
  std::vector<SentEvent> sent;
  std::function<void()> onOutput;
  std::vector<std::string>* journal = nullptr;

  bool Open() override {
    isOpen = opens;
    return isOpen;
  }
  void Close() override { isOpen = false; }
  bool IsOpen() const override { return isOpen; }
  void SendEvent(const midi::TMyMidiEvent& event) override {
    if (!isOpen) throw std::runtime_error("MIDI Output device not open");
    SentEvent record{event.StatusByte, event.FirstDataByte, event.SecondDataByte, {}};
    if (event.SysexData)
      record.sysex.assign(event.SysexData.get(), event.SysexData.get() + event.SysexSize);
    sent.push_back(std::move(record));
  }
  void SetOnMidiOutput(std::function<void()> h) override { onOutput = std::move(h); }
  std::function<void()> onLost;
  void SetOnDeviceLost(std::function<void()> h) override { onLost = std::move(h); }
  ~FakeMidiOutput() override {
    if (journal) journal->push_back("midiout.release");
  }
};

struct FakePortProbe final : core::PortProbe {
  std::set<int> present;  // the COM numbers the machine has; identity "/dev/fakeN"
  int listings = 0;
  std::vector<core::SerialEntry> Ports() override {
    ++listings;
    std::vector<core::SerialEntry> ports;
    for (int n : present) {
      ports.push_back({n, "COM" + std::to_string(n), "/dev/fake" + std::to_string(n)});
    }
    return ports;
  }
};

// Hands out the doubles it holds; a flag per device makes its creation raise.
struct FakeFactory final : core::DeviceFactory {
  std::unique_ptr<FakeComPort> port = std::make_unique<FakeComPort>();
  std::unique_ptr<FakeDataPacket> packet = std::make_unique<FakeDataPacket>();
  std::unique_ptr<FakeLightController> controller = std::make_unique<FakeLightController>();
  std::unique_ptr<FakeMidiInput> midiIn = std::make_unique<FakeMidiInput>();
  std::unique_ptr<FakeMidiOutput> midiOut = std::make_unique<FakeMidiOutput>();
  std::unique_ptr<FakePortProbe> probe = std::make_unique<FakePortProbe>();
  // Raw views that stay valid while the bridge owns the doubles.
  FakeComPort* portView = port.get();
  FakeDataPacket* packetView = packet.get();
  FakeLightController* controllerView = controller.get();
  FakeMidiInput* midiInView = midiIn.get();
  FakeMidiOutput* midiOutView = midiOut.get();
  FakePortProbe* probeView = probe.get();
  bool failPort = false, failPacket = false, failMidiIn = false, failMidiOut = false;

  std::unique_ptr<core::ComPortDevice> CreateComPort() override {
    return HandOver(port, failPort, "no port");
  }
  std::unique_ptr<core::DataPacketDevice> CreateDataPacket() override {
    return HandOver(packet, failPacket, "no packet");
  }
  std::unique_ptr<core::LightControllerDevice> CreateSLController() override {
    return std::move(controller);
  }
  std::unique_ptr<core::MidiInputDevice> CreateMidiInput() override {
    return HandOver(midiIn, failMidiIn, "Invalid device ID");
  }
  std::unique_ptr<core::MidiOutputDevice> CreateMidiOutput() override {
    return HandOver(midiOut, failMidiOut, "no output");
  }
  std::unique_ptr<core::PortProbe> CreatePortProbe() override { return std::move(probe); }

 private:
  // The device made in advance, or the error a failing creation raises.
  template <typename Device>
  static std::unique_ptr<Device> HandOver(std::unique_ptr<Device>& made, bool fail,
                                          const char* error) {
    if (fail) throw std::runtime_error(error);
    return std::move(made);
  }
};

}  // namespace velmora::test
