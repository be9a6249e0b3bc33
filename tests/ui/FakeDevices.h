#pragma once

// MIDI devices for the window tests: named devices that open, close and hand out events
// that the test injects. The serial devices stay absent (the factory raises for them) unless
// the test gives a serial port.

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DeviceInterfaces.h"
#include "support/FakeDeviceList.h"

namespace velmora::test {

class FakeMidiInput final : public testing::FakeDeviceList<core::MidiInputDevice, std::uint16_t> {
 public:
  explicit FakeMidiInput(std::vector<std::string> names)
      : FakeDeviceList("MIDI input", std::move(names)) {}

  void Open() override {
    if (Chosen()) open_ = true;
  }
  void Start() override {}
  void Stop() override {}
  void Close() override {
    if (open_) ++closes;
    open_ = false;
  }
  midi::TMidiPortState State() const override {
    return open_ ? midi::TMidiPortState::mpsOpen : midi::TMidiPortState::mpsClosed;
  }
  std::uint16_t EventCount() const override {
    return open_ ? static_cast<std::uint16_t>(events_.size()) : 0;
  }
  std::unique_ptr<midi::TMyMidiEvent> TakeEvent() override {
    if (events_.empty()) return nullptr;
    auto event =
        std::make_unique<midi::TMyMidiEvent>(midi::TMyMidiEvent::FromPacked(events_.front()));
    events_.pop_front();
    return event;
  }
  void SetOnMidiInput(std::function<void(core::MidiInputDevice&)> handler) override {
    handler_ = std::move(handler);
  }

  // What the driver does: the message waits in the ring and the UI thread hears of it.
  void Receive(std::uint32_t packed) {
    events_.push_back(packed);
    if (handler_) handler_(*this);
  }

  int closes = 0;

 private:
  bool open_ = false;
  std::deque<std::uint32_t> events_;
  std::function<void(core::MidiInputDevice&)> handler_;
};

class FakeMidiOutput final : public testing::FakeDeviceList<core::MidiOutputDevice, std::int32_t> {
 public:
  explicit FakeMidiOutput(std::vector<std::string> names)
      : FakeDeviceList("MIDI output", std::move(names)) {}

  bool Open() override {
    open_ = Chosen();
    return open_;
  }
  void Close() override {
    if (open_) ++closes;
    open_ = false;
  }
  void SendEvent(const midi::TMyMidiEvent& event) override {
    if (!open_) throw std::runtime_error("MIDI Output device not open");
    sent.push_back(event.Packed());
  }
  void SetOnMidiOutput(std::function<void()>) override {}

  bool IsOpen() const override { return open_; }
  int closes = 0;
  std::vector<std::uint32_t> sent;

 private:
  bool open_ = false;
};

class FakeFactory final : public core::DeviceFactory {
 public:
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  FakeMidiInput* input = nullptr;    // owned by the bridge
  FakeMidiOutput* output = nullptr;  // owned by the bridge
  std::function<std::unique_ptr<core::ComPortDevice>()> comPort;

  std::unique_ptr<core::ComPortDevice> CreateComPort() override {
    if (!comPort) throw absent();
    return comPort();
  }
  std::unique_ptr<core::DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<core::LightControllerDevice> CreateSLController() override { throw absent(); }
  // As the real input: creation raises on a machine without MIDI input devices.
  std::unique_ptr<core::MidiInputDevice> CreateMidiInput() override {
    if (inputs.empty()) throw std::runtime_error("no MIDI input device");
    auto device = std::make_unique<FakeMidiInput>(inputs);
    input = device.get();
    return device;
  }
  std::unique_ptr<core::MidiOutputDevice> CreateMidiOutput() override {
    auto device = std::make_unique<FakeMidiOutput>(outputs);
    output = device.get();
    return device;
  }
  std::unique_ptr<core::PortProbe> CreatePortProbe() override { throw absent(); }

 private:
  static std::runtime_error absent() { return std::runtime_error("absent"); }
};

}  // namespace velmora::test
