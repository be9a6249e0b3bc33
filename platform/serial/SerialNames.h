#pragma once

// The serial name space: which device COMn is. On Windows COMn is the device path "\\.\COMn".
// On Linux COM1 to COM50 number the machine's serial devices in a fixed order: on-board UARTs
// that exist (ttyS*), USB serial (ttyUSB*), CDC-ACM (ttyACM*), platform UARTs (ttyAMA*),
// Bluetooth (rfcomm*) and virtual ports (ttyV*), each group in number order. The kernel's
// active console is never offered.

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::platform {

// One serial device as the lists show it. Its identity is what a choice remembers: the stable
// link under <dev>/serial/by-id that leads to it where the system made one, else its device
// path; the COM number is only a label.
struct SerialPort {
  int number = 0;
  std::string device;    // "/dev/ttyUSB0"
  std::string identity;  // "/dev/serial/by-id/usb-FTDI_..." or the device path
  std::string product;   // the adapter's product name from sysfs; empty when none
  // "COM3 (/dev/ttyUSB0)" or "COM3 (/dev/ttyUSB0, FT232R USB UART)".
  std::string EntryText() const;
};

class SerialNameSpace {
 public:
  static constexpr int kMaxPorts = 50;

  // Where the device nodes and the kernel's tty attributes live; tests use a directory of their
  // own, filled with links to pseudo-terminals.
  struct Roots {
    std::filesystem::path dev = "/dev";
    std::filesystem::path sys = "/sys";
  };

  SerialNameSpace() = default;
  explicit SerialNameSpace(Roots roots) : roots_(std::move(roots)) {}

  // The device paths of COM1, COM2, ... as the machine has them now (at most kMaxPorts).
  std::vector<std::string> Devices() const;
  // The device path of COMn; empty when there is none.
  std::string DevicePath(int number) const;
  // The list entry of COMn: "COM3 (/dev/ttyUSB0)", or "COM3" when there is no device.
  std::string EntryText(int number) const;
  // What a name given to the serial layer opens: "\\.\COMn" or "COMn" through this name space
  // (empty when there is no such port); anything else is already a path.
  std::string Resolve(const std::string& name) const;

  // Every port with its identity, in COM order, read from the name space alone: nothing is
  // opened.
  std::vector<SerialPort> Ports() const;

  const Roots& roots() const { return roots_; }

 private:
  Roots roots_;
};

// The device path of port n: "\\.\COMn" on Windows; on Linux the path of COMn in the machine's
// name space, empty when there is none.
std::string ComDeviceName(int number);
std::string ComDeviceName(int number, const SerialNameSpace& names);

#ifdef _WIN32
// What changes when a COM port comes or goes (or, under Wine, a port's link is made again toward
// another terminal); compared with the previous one, never parsed.
std::string ComListStamp();
#endif

// The number of "COMn", "COMn (...)" or "\\.\COMn"; 0 when the text names no port.
int ComNumberOf(const std::string& text);

}  // namespace velmora::platform
