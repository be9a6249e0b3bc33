#include "core/SystemDeviceFactory.h"

#include "core/MidiDeviceAdapters.h"
#include "core/SerialDeviceAdapters.h"
#include "core/SystemPortProbe.h"
#include "platform/midi/MidiService.h"

namespace velmora::core {

namespace {

// The machine's devices: the serial port layer on the platform's driver, and the MIDI service.
class SystemDeviceFactory final : public DeviceFactory {
 public:
  std::unique_ptr<ComPortDevice> CreateComPort() override {
    return std::make_unique<SerialComPortDevice>();
  }
  std::unique_ptr<DataPacketDevice> CreateDataPacket() override {
    return std::make_unique<SerialDataPacketDevice>();
  }
  std::unique_ptr<LightControllerDevice> CreateSLController() override {
    return std::make_unique<SerialLightControllerDevice>();
  }
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
