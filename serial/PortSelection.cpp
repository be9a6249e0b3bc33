#include "serial/PortSelection.h"

#include <algorithm>

#include "platform/serial/SerialError.h"
#include "platform/serial/SerialNames.h"
#ifdef _WIN32
#include "serial/dispatcher/Win32Dispatcher.h"
#else
#include "platform/serial/PosixSerialDevice.h"
#include "serial/dispatcher/PosixDispatcher.h"
#endif

namespace velmora::serial {

bool DialogProbeWithDispatcher = true;
bool DialogCountsPortsInUse = true;

int TryOpenPort(int number, const platform::SerialNameSpace& names, bool withDispatcher) {
  const std::string path = number > 0 ? platform::ComDeviceName(number, names) : std::string{};
  if (path.empty()) return platform::kErrorFileNotFound;
#ifdef _WIN32
  (void)withDispatcher;
  TApdWin32Dispatcher dispatcher(nullptr);
#else
  if (!withDispatcher) {
    platform::PosixSerialDevice device;
    return device.Open(path);  // closed again as it goes
  }
  TApdPosixDispatcher dispatcher(nullptr, names);
#endif
  if (dispatcher.OpenCom(path, 64, 64) >= 0) {
    dispatcher.CloseCom();
    return 0;
  }
  const int error = dispatcher.LastErrorCode();
  return error != 0 ? error : platform::kErrorGenFailure;
}

bool PortIsAvailable(std::uint16_t number) {
  return PortIsAvailable(number, platform::SerialNameSpace{});
}

bool PortIsAvailable(std::uint16_t number, const platform::SerialNameSpace& names) {
  if (number == 0) return false;
  if (DialogCountsPortsInUse) {
    // Busy or free, it counts: the name space tells, and nothing is opened (opening raises DTR
    // and RTS, which resets many boards).
    const auto ports = names.Ports();
    return std::any_of(ports.begin(), ports.end(), [number](const platform::SerialPort& port) {
      return port.number == number;
    });
  }
  const int result = TryOpenPort(number, names, DialogProbeWithDispatcher);
  if (result == 0) return true;
  return DialogCountsPortsInUse && result == platform::kErrorAccessDenied;
}

TComSelectList::TComSelectList() : TComSelectList(platform::SerialNameSpace{}) {}

TComSelectList::TComSelectList(const platform::SerialNameSpace& names) {
  for (std::uint16_t n = 1; n <= kLastSelectablePort; ++n) {
    if (PortIsAvailable(n, names)) entries_.push_back(names.EntryText(n));
  }
  if (!entries_.empty()) itemIndex_ = 0;
}

void TComSelectList::SetItemIndex(int index) {
  itemIndex_ = (index >= 0 && index < static_cast<int>(entries_.size())) ? index : -1;
}

std::uint16_t TComSelectList::SelectedComNumber() const {
  if (itemIndex_ < 0) return 0;
  return static_cast<std::uint16_t>(platform::ComNumberOf(entries_[itemIndex_]));
}

}  // namespace velmora::serial
