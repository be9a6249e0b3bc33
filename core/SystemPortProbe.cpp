#include "core/SystemPortProbe.h"

#include "platform/serial/SerialError.h"

#ifdef _WIN32
#include "serial/dispatcher/Win32Dispatcher.h"
#else
#include "platform/serial/PosixSerialDevice.h"
#include "serial/dispatcher/PosixDispatcher.h"
#endif

namespace velmora::core {

namespace {

#ifdef _WIN32
using PortDispatcher = serial::TApdWin32Dispatcher;
#else
using PortDispatcher = serial::TApdPosixDispatcher;
#endif

}  // namespace

SystemPortProbe::SystemPortProbe(platform::SerialNameSpace names, bool probeWithDispatcher)
    : names_(std::move(names)), probeWithDispatcher_(probeWithDispatcher) {}

int SystemPortProbe::TryOpen(int portNumber) {
  if (portNumber <= 0) return platform::kErrorFileNotFound;
  const std::string path = platform::ComDeviceName(portNumber, names_);
#ifdef _WIN32
  PortDispatcher dispatcher(nullptr);  // the Windows probe always opens the device this way
#else
  if (!probeWithDispatcher_) {
    platform::PosixSerialDevice device;
    return device.Open(path);  // closed again as it goes
  }
  PortDispatcher dispatcher(nullptr, names_);
#endif
  if (dispatcher.OpenCom(path, 64, 64) >= 0) {
    dispatcher.CloseCom();
    return 0;
  }
  const int error = dispatcher.LastErrorCode();
  return error != 0 ? error : platform::kErrorGenFailure;
}

std::string SystemPortProbe::EntryText(int portNumber) {
  return names_.EntryText(portNumber);
}

}  // namespace velmora::core
