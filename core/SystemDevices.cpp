#include "core/SystemDevices.h"

#include <stdexcept>

namespace velmora::core {

namespace {

// Devices whose layer is not wired in yet are absent: their creation raises.
class SystemDeviceFactory final : public DeviceFactory {
 public:
  std::unique_ptr<ComPortDevice> CreateComPort() override { throw absent(); }
  std::unique_ptr<DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<LightControllerDevice> CreateSLController() override { throw absent(); }
  std::unique_ptr<MidiInputDevice> CreateMidiInput() override { throw absent(); }
  std::unique_ptr<MidiOutputDevice> CreateMidiOutput() override { throw absent(); }
  std::unique_ptr<PortProbe> CreatePortProbe() override { throw absent(); }

 private:
  static std::runtime_error absent() { return std::runtime_error("device not available"); }
};

}  // namespace

std::unique_ptr<DeviceFactory> MakeSystemDeviceFactory() {
  return std::make_unique<SystemDeviceFactory>();
}

}  // namespace velmora::core
