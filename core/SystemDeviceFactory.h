#pragma once

#include <memory>

#include "core/DeviceInterfaces.h"

namespace velmora::core {

// The machine's own devices: the serial port layer, the MIDI service and the serial name space.
std::unique_ptr<DeviceFactory> MakeSystemDeviceFactory();

}  // namespace velmora::core
