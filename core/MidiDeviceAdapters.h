#pragma once

// The bridge's MIDI devices over the real components, on a MIDI service (the platform's own,
// or a simulated one in tests and benchmarks).

#include <memory>

#include "core/DeviceInterfaces.h"
#include "midi/MidiInput.h"
#include "midi/MidiOutput.h"
#include "platform/midi/MidiService.h"

namespace velmora::core {

class RealMidiInput final : public MidiInputDevice {
 public:
  // Raises "Invalid device ID" when the service has no input device.
  // Room for a dump of 256 KiB delivered in one pass, before any buffer can come back.
  static constexpr std::uint16_t kSysexBuffers = 64;

  explicit RealMidiInput(std::shared_ptr<platform::midi::MidiService> service)
      : service_(service), input_(std::move(service)) {
    input_.SetSysexBufferCount(kSysexBuffers);
  }

  midi::TMidiInput& Component() { return input_; }

  std::uint16_t DeviceCount() const override { return input_.DeviceCount(); }
  void SetDeviceID(std::uint16_t id) override { input_.SetDeviceID(id); }
  std::string ProductName() const override { return input_.ProductName(); }
  void SetProductName(const std::string& name) override { input_.SetProductName(name); }
  void Open() override { input_.Open(); }
  void Start() override { input_.Start(); }
  void Stop() override { input_.Stop(); }
  void Close() override { input_.Close(); }
  midi::TMidiPortState State() const override { return input_.State(); }
  std::uint16_t EventCount() const override { return input_.EventCount(); }
  std::unique_ptr<midi::TMyMidiEvent> TakeEvent() override { return input_.TakeEvent(); }
  bool TakeEvent(midi::TMyMidiEvent& into) override { return input_.TakeEvent(into); }
  void SetOnMidiInput(std::function<void(MidiInputDevice& sender)> handler) override;
  void SetOnDeviceLost(std::function<void()> handler) override;
  bool LinkCut() const override { return input_.LinkCut(); }
  void SetOnOverflow(std::function<void(std::uint64_t refused)> handler) override;
  void SetOnMalformed(std::function<void(std::uint64_t refused)> handler) override;
  void SetDroppedShort(std::uint32_t statuses) override { input_.SetDroppedShort(statuses); }
  std::vector<std::string> PortNames() override;
  std::uint32_t LastError() const override { return input_.Error(); }
  std::string LastErrorText() const override {
    return input_.Error() ? input_.ErrorText(input_.Error()) : std::string{};
  }

 private:
  const std::shared_ptr<platform::midi::MidiService> service_;  // read for the port names
  midi::TMidiInput input_;
};

class RealMidiOutput final : public MidiOutputDevice {
 public:
  explicit RealMidiOutput(std::shared_ptr<platform::midi::MidiService> service)
      : service_(service), output_(std::move(service)) {}

  midi::TMidiOutput& Component() { return output_; }

  std::uint16_t DeviceCount() const override { return output_.DeviceCount(); }
  void SetDeviceID(std::int32_t id) override { output_.SetDeviceID(id); }
  std::string ProductName() const override { return output_.ProductName(); }
  void SetProductName(const std::string& name) override { output_.SetProductName(name); }
  bool Open() override { return output_.Open(); }
  void Close() override { output_.Close(); }
  bool IsOpen() const override { return output_.State() == midi::TMidiPortState::mpsOpen; }
  void SendEvent(const midi::TMyMidiEvent& event) override { output_.SendEvent(event); }
  std::size_t LargestEvent() const override { return output_.LargestEvent(); }
  void SetOnMidiOutput(std::function<void()> handler) override;
  void SetOnDeviceLost(std::function<void()> handler) override;
  bool LinkCut() const override { return output_.LinkCut(); }
  std::vector<std::string> PortNames() override;
  std::uint32_t LastError() const override { return output_.Error(); }
  std::string LastErrorText() const override {
    return output_.Error() ? output_.ErrorText(output_.Error()) : std::string{};
  }

 private:
  const std::shared_ptr<platform::midi::MidiService> service_;  // read for the port names
  midi::TMidiOutput output_;
};

}  // namespace velmora::core
