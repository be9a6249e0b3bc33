#pragma once

// The bridge's devices over the real components, for the program, the benchmark and the fault
// tests alike: they differ only in the MIDI service and the serial name space they give it.

#include <memory>
#include <string>

#include "core/DeviceInterfaces.h"
#include "platform/midi/MidiService.h"
#include "platform/serial/SerialNames.h"

namespace velmora::platform {
class SerialCloser;
}

namespace velmora::core {

class RealDeviceFactory final : public DeviceFactory {
 public:
  // No service: the platform's own, made when a MIDI device is first created, whose JACK
  // client is `midiClientName`. The default name space is the machine's.
  explicit RealDeviceFactory(std::shared_ptr<platform::midi::MidiService> midi = nullptr,
                             platform::SerialNameSpace names = platform::SerialNameSpace{},
                             std::string midiClientName = "velmora");

  std::unique_ptr<ComPortDevice> CreateComPort() override;
  std::unique_ptr<DataPacketDevice> CreateDataPacket() override;
  std::unique_ptr<LightControllerDevice> CreateSLController() override;
  std::unique_ptr<MidiInputDevice> CreateMidiInput() override;
  std::unique_ptr<MidiOutputDevice> CreateMidiOutput() override;
  std::unique_ptr<PortProbe> CreatePortProbe() override;
  std::string MidiServiceName() override { return midiService()->Name(); }
  std::vector<platform::midi::MidiService::OutsideLink> TakeMidiOutsideLinks() override {
    return midiService()->TakeOutsideLinks();
  }
  // inotify on the name space's device folder (on Windows a look at the COM list each second)
  // and the MIDI service's ports-changed callback.
  std::unique_ptr<DeviceWatch> WatchDevices(std::function<void()> serialChanged,
                                            std::function<void()> midiChanged) override;
  // The MIDI service in use; empty until a MIDI device or list was first asked for.
  const std::shared_ptr<platform::midi::MidiService>& MidiServiceInUse() const { return midi_; }
  // The service that MIDI input and output share, made now if it was not yet.
  platform::midi::MidiService& Midi() { return *midiService(); }

 private:
  std::shared_ptr<platform::midi::MidiService> midiService();

  std::shared_ptr<platform::midi::MidiService> midi_;
  const platform::SerialNameSpace names_;
  // Closes the serial ports' descriptors on its own thread, shared by every port made here so
  // that a port reopened waits for its device's earlier close. Unset on Windows.
  std::shared_ptr<platform::SerialCloser> closer_;
  const std::string midiClientName_;
};

}  // namespace velmora::core
