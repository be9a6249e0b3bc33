#include "core/SerialDevices.h"

#include <stdexcept>

namespace velmora::core {

namespace {

serial::TApdComPort* RealPort(ComPortDevice* port) {
  if (!port) return nullptr;
  auto* serialPort = dynamic_cast<SerialComPortDevice*>(port);
  if (!serialPort) throw std::invalid_argument("not a serial port device");
  return &serialPort->Port();
}

}  // namespace

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

}  // namespace velmora::core
