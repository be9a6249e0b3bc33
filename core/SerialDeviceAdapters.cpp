#include "core/SerialDeviceAdapters.h"

#include <stdexcept>

#include "platform/serial/SerialError.h"
#include "serial/PortSelection.h"

namespace velmora::core {

namespace {

serial::TApdComPort* RealPort(ComPortDevice* port) {
  if (!port) return nullptr;
  auto* serialPort = dynamic_cast<SerialComPortDevice*>(port);
  if (!serialPort) throw std::invalid_argument("not a serial port device");
  return &serialPort->Port();
}

constexpr std::uint16_t kLineErrorKind = 2;
constexpr std::uint16_t kFramingError = 4;

}  // namespace

SerialComPortDevice::SerialComPortDevice() {
  port_.AddPortCallbackEx(serial::TPortCallbackEx(this, &SerialComPortDevice::PortCallback));
  port_.SetOnTriggerStatus(serial::TTriggerStatusEvent(this, &SerialComPortDevice::TriggerStatus));
}

SerialComPortDevice::~SerialComPortDevice() {
  port_.SetOnTriggerStatus(nullptr);
  port_.RemovePortCallbackEx(serial::TPortCallbackEx(this, &SerialComPortDevice::PortCallback));
}

void SerialComPortDevice::PortCallback(serial::TApdCustomComPort& port,
                                       serial::TPortCallbackKind kind) {
  if (kind == serial::TPortCallbackKind::pckOpen) {
    lossTrigger_ = static_cast<std::uint16_t>(port.AddStatusTrigger(kLineErrorKind));
    port.SetStatusTrigger(lossTrigger_, kFramingError, true);
  } else if (kind == serial::TPortCallbackKind::pckClosing && lossTrigger_ != 0) {
    const auto trigger = lossTrigger_;
    lossTrigger_ = 0;
    port.RemoveTrigger(trigger);
  }
}

void SerialComPortDevice::SetOpen(bool open) {
  // Read right after the failure, on the thread that opened: the driver records it there.
  openError_ = 0;
  platform::SetLastSerialErrno(0);
  try {
    port_.SetOpen(open);
  } catch (...) {
    openError_ = platform::LastSerialErrno();
    throw;
  }
}

void SerialComPortDevice::TriggerStatus(serial::TApdCustomComPort& port, std::uint16_t handle) {
  if (handle == 0 || handle != lossTrigger_) return;
  if (!port.DeviceLost()) {
    port.LineError();  // a plain framing error: clear it and watch again
    port.SetStatusTrigger(lossTrigger_, kFramingError, true);
    return;
  }
  if (onLost_) onLost_();
}

void SerialDataPacketDevice::SetComPort(ComPortDevice* port) {
  packet_.SetComPort(RealPort(port));
}

void SerialDataPacketDevice::SetOnPacket(PacketHandler handler) {
  if (!handler) {
    packet_.OnPacket = nullptr;
    return;
  }
  packet_.OnPacket = [handler = std::move(handler)](serial::TApdDataPacket&,
                                                    const std::uint8_t* data,
                                                    std::int32_t size) { handler(data, size); };
}

void SerialLightControllerDevice::SetComPort(ComPortDevice* port) {
  controller_.SetComPort(RealPort(port));
}

std::vector<SerialEntry> SerialPortProbe::Ports() {
  std::vector<SerialEntry> entries;
  for (const auto& port : names_.Ports()) {
    entries.push_back({port.number, port.EntryText(), port.identity});
  }
  return entries;
}

}  // namespace velmora::core
