#pragma once

// The port probe on the machine's serial name space: port n is tried by opening it through a
// dispatcher that is never initialised (or by opening the device directly), as the port list
// at start-up needs.

#include <string>

#include "core/DeviceInterfaces.h"
#include "platform/serial/SerialNames.h"

namespace velmora::core {

class SystemPortProbe final : public PortProbe {
 public:
  explicit SystemPortProbe(platform::SerialNameSpace names = platform::SerialNameSpace{},
                           bool probeWithDispatcher = true);

  // 0 when port n opened (it is closed again), else the serial error code (5 held by another
  // program, 2 no such device).
  int TryOpen(int portNumber) override;
  // "COM3 (/dev/ttyUSB0)" on Linux, "COM3" on Windows.
  std::string EntryText(int portNumber) override;

 private:
  const platform::SerialNameSpace names_;
  const bool probeWithDispatcher_;
};

}  // namespace velmora::core
