#include "core/RealDeviceFactory.h"

#include <utility>

#include "core/MidiDeviceAdapters.h"
#include "core/SerialDeviceAdapters.h"
#ifdef _WIN32
#include "platform/serial/ComListWatch.h"
#else
#include "platform/serial/DeviceFolderWatch.h"
#include "platform/serial/SerialCloser.h"
#endif

namespace velmora::core {

RealDeviceFactory::RealDeviceFactory(std::shared_ptr<platform::midi::MidiService> midi,
                                     platform::SerialNameSpace names, std::string midiClientName)
    : midi_(std::move(midi)), names_(std::move(names)), midiClientName_(std::move(midiClientName)) {
#ifndef _WIN32
  closer_ = std::make_shared<platform::SerialCloser>();
#endif
}

std::unique_ptr<ComPortDevice> RealDeviceFactory::CreateComPort() {
  auto port = std::make_unique<SerialComPortDevice>();
  port->Port().DispatcherFactory = serial::PlatformDispatcherFactory(names_, closer_);
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

namespace {

// Both watches; the service's callback is removed before the service may go.
class RealDeviceWatch final : public DeviceWatch {
 public:
  RealDeviceWatch(const std::filesystem::path& dev, std::function<void()> serialChanged,
                  std::shared_ptr<platform::midi::MidiService> midi,
                  std::function<void()> midiChanged)
      : midi_(std::move(midi)) {
#ifndef _WIN32
    if (serialChanged) {
      try {
        folders_ = std::make_unique<platform::DeviceFolderWatch>(dev, std::move(serialChanged));
      } catch (const std::exception&) {
        // no inotify: the serial list is then read at start only
      }
    }
#else
    (void)dev;
    if (serialChanged) ports_ = std::make_unique<platform::ComListWatch>(std::move(serialChanged));
#endif
    if (midi_) midi_->SetPortsChangedCallback(std::move(midiChanged));
  }
  ~RealDeviceWatch() override {
    if (midi_) midi_->SetPortsChangedCallback(nullptr);
  }
  RealDeviceWatch(const RealDeviceWatch&) = delete;
  RealDeviceWatch& operator=(const RealDeviceWatch&) = delete;

 private:
  std::shared_ptr<platform::midi::MidiService> midi_;
#ifdef _WIN32
  std::unique_ptr<platform::ComListWatch> ports_;
#else
  std::unique_ptr<platform::DeviceFolderWatch> folders_;
#endif
};

}  // namespace

std::unique_ptr<DeviceWatch> RealDeviceFactory::WatchDevices(std::function<void()> serialChanged,
                                                             std::function<void()> midiChanged) {
  return std::make_unique<RealDeviceWatch>(names_.roots().dev, std::move(serialChanged),
                                           midiService(), std::move(midiChanged));
}

std::shared_ptr<platform::midi::MidiService> RealDeviceFactory::midiService() {
  // Input and output share one service, made on first use.
  if (!midi_) midi_ = platform::midi::MakeDefaultMidiService(midiClientName_);
  return midi_;
}

}  // namespace velmora::core
