#include "core/RealDeviceFactory.h"

#include <utility>

#include "core/MidiDeviceAdapters.h"
#include "core/SerialDeviceAdapters.h"

namespace velmora::core {

RealDeviceFactory::RealDeviceFactory(std::shared_ptr<platform::midi::MidiService> midi,
                                     platform::SerialNameSpace names)
    : midi_(std::move(midi)), names_(std::move(names)) {}

std::unique_ptr<ComPortDevice> RealDeviceFactory::CreateComPort() {
  auto port = std::make_unique<SerialComPortDevice>();
  port->Port().DispatcherFactory = serial::PlatformDispatcherFactory(names_);
  return port;
}

std::unique_ptr<DataPacketDevice> RealDeviceFactory::CreateDataPacket() {
  return std::make_unique<SerialDataPacketDevice>();
}

std::unique_ptr<LightControllerDevice> RealDeviceFactory::CreateSLController() {
  return std::make_unique<SerialLightControllerDevice>();
}

std::unique_ptr<MidiInputDevice> RealDeviceFactory::CreateMidiInput() {
  return std::make_unique<RealMidiInput>(midiService());
}

std::unique_ptr<MidiOutputDevice> RealDeviceFactory::CreateMidiOutput() {
  return std::make_unique<RealMidiOutput>(midiService());
}

std::unique_ptr<PortProbe> RealDeviceFactory::CreatePortProbe() {
  return std::make_unique<SerialPortProbe>(names_);
}

std::shared_ptr<platform::midi::MidiService> RealDeviceFactory::midiService() {
  // Input and output share one service, made on first use.
  if (!midi_) midi_ = platform::midi::MakeDefaultMidiService();
  return midi_;
}

}  // namespace velmora::core
