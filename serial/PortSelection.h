#pragma once

// Choosing a port when none is set: the ports of the serial name space from COM1 to COM50;
// they are probed by opening only when a port that another program holds must be left out. The
// dialog that shows them belongs to the window toolkit (ui/qt/PortSelectionDialog).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora::platform {
class SerialNameSpace;
}

namespace velmora::serial {

// Process-wide settings, read and written on the UI thread.
// Probe with a dispatcher of the platform's driver (true) or by opening the device directly.
extern bool DialogProbeWithDispatcher;
// A port that another program holds counts as available.
extern bool DialogCountsPortsInUse;

inline constexpr std::uint16_t kLastSelectablePort = 50;

// Opens port `number` of `names` and closes it again: 0 when it opened, else the platform's
// error code (kErrorAccessDenied: another program holds it; kErrorFileNotFound: no such port).
// Through a dispatcher of the platform's driver, or by opening the device directly; Windows
// always takes the dispatcher, whose open is the very one the direct probe would make.
int TryOpenPort(int number, const platform::SerialNameSpace& names, bool withDispatcher);

// Whether port `number` can be chosen; false for 0.
bool PortIsAvailable(std::uint16_t number);
bool PortIsAvailable(std::uint16_t number, const platform::SerialNameSpace& names);

// The list of the selection dialog: one entry per available port in ascending order, the first
// one selected.
class TComSelectList {
 public:
  TComSelectList();
  explicit TComSelectList(const platform::SerialNameSpace& names);

  const std::vector<std::string>& Entries() const { return entries_; }
  int ItemIndex() const { return itemIndex_; }  // -1 when nothing is listed
  void SetItemIndex(int index);
  // The number of the chosen entry ("COM3 (/dev/ttyUSB0)" gives 3); 0 when nothing is chosen.
  std::uint16_t SelectedComNumber() const;

 private:
  std::vector<std::string> entries_;
  int itemIndex_ = -1;
};

// The texts of the dialog.
inline constexpr const char* kSelectPortCaption = "Select Port";
inline constexpr const char* kSelectPortLine1 = "The configured serial port is not valid.";
inline constexpr const char* kSelectPortLine2 = "Please choose another port.";

}  // namespace velmora::serial
