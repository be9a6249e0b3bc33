#include "core/SystemDevices.h"

#include <stdexcept>

#include "core/RealMidiDevices.h"
#include "core/SystemPortProbe.h"
#include "platform/midi/MidiService.h"

namespace velmora::core {

namespace {

// The machine's devices. The serial port, packet detector and light controller are absent
// until the serial port layer is wired in here.
class SystemDeviceFactory final : public DeviceFactory {
 public:
  std::unique_ptr<ComPortDevice> CreateComPort() override { throw absent(); }
  std::unique_ptr<DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<LightControllerDevice> CreateSLController() override { throw absent(); }
  std::unique_ptr<MidiInputDevice> CreateMidiInput() override {
    return std::make_unique<RealMidiInput>(midiService());
  }
  std::unique_ptr<MidiOutputDevice> CreateMidiOutput() override {
    return std::make_unique<RealMidiOutput>(midiService());
  }
  std::unique_ptr<PortProbe> CreatePortProbe() override {
    return std::make_unique<SystemPortProbe>();
  }

 private:
  static std::runtime_error absent() { return std::runtime_error("device not available"); }
  // Input and output share one service, made on first use.
  std::shared_ptr<platform::midi::MidiService> midiService() {
    if (!midiService_) midiService_ = platform::midi::MakeDefaultMidiService();
    return midiService_;
  }

  std::shared_ptr<platform::midi::MidiService> midiService_;
};

}  // namespace

std::unique_ptr<DeviceFactory> MakeSystemDeviceFactory() {
  return std::make_unique<SystemDeviceFactory>();
}

}  // namespace velmora::core
