#include "platform/serial/SerialNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#ifdef _WIN32
#include <windows.h>
#endif

namespace velmora::platform {

namespace {

namespace fs = std::filesystem;

// In the order in which the groups are numbered.
constexpr const char* kGroups[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "rfcomm", "ttyV"};

// The number after `prefix` when `name` is the prefix followed by decimal digits only.
bool numberAfter(const std::string& name, const std::string& prefix, unsigned long& number) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.size() - prefix.size() > 6) return false;
  number = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    number = number * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return true;
}

std::string readFirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// An on-board UART slot exists for every possible port; only those with a known UART type
// (not PORT_UNKNOWN, 0) have hardware behind them.
bool uartPresent(const fs::path& sys, const std::string& name) {
  const std::string type = readFirstLine(sys / "class/tty" / name / "type");
  if (type.empty()) return false;
  try {
    return std::stoi(type) != 0;
  } catch (...) {
    return false;
  }
}

// The tty names that the kernel's console currently writes to.
std::set<std::string> consoleNames(const fs::path& sys) {
  std::set<std::string> names;
  std::istringstream words(readFirstLine(sys / "class/tty/console/active"));
  for (std::string word; words >> word;) names.insert(word);
  return names;
}

bool isConsole(const fs::path& dev, const std::string& name, const std::set<std::string>& console) {
  if (console.count(name)) return true;
  // A link under another name to the console device is the console all the same.
  std::error_code error;
  const fs::path target = fs::canonical(dev / name, error);
  if (error) return false;
  for (const auto& consoleName : console) {
    std::error_code other;
    if (fs::canonical(dev / consoleName, other) == target && !other) return true;
  }
  return false;
}

#ifndef _WIN32
// The product name that sysfs gives for the device of tty `name`: the nearest "product" file
// above its device folder (a USB serial interface's is on its USB device, one or two up).
std::string productOf(const fs::path& sys, const std::string& name) {
  std::error_code error;
  fs::path folder = fs::canonical(sys / "class/tty" / name / "device", error);
  for (int up = 0; !error && up < 3 && !folder.empty(); ++up, folder = folder.parent_path()) {
    const std::string product = readFirstLine(folder / "product");
    if (!product.empty()) return product;
  }
  return {};
}
#endif

#ifdef _WIN32
// Wine maps COMn through a link "comN" in its prefix's dosdevices folder, and its QueryDosDevice
// names every COMn whether linked or not: there the links are what tell. The folder is read
// through Wine's Z: drive (its entries listed, none opened; a path ending in "comN" would be the
// device itself). Nothing on Windows itself. Each link's time goes into `stamps`: a link made
// again toward another terminal changes it.
std::optional<std::set<int>> wineLinkedPorts(std::string* stamps = nullptr) {
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) return {};
  std::set<int> numbers;
  char value[MAX_PATH];
  std::string prefix;
  DWORD length = GetEnvironmentVariableA("WINEPREFIX", value, sizeof value);
  if (length > 0 && length < sizeof value) {
    prefix = value;
  } else if (length = GetEnvironmentVariableA("HOME", value, sizeof value);
             length > 0 && length < sizeof value) {
    prefix = std::string(value) + "/.wine";
  } else {
    return numbers;
  }
  std::string pattern = "Z:" + prefix + "/dosdevices/*";
  std::replace(pattern.begin(), pattern.end(), '/', '\\');
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return numbers;
  do {
    std::string name = entry.cFileName;
    if (name.size() > 3 && name.compare(0, 3, "com") == 0) name.replace(0, 3, "COM");
    if (const int number = ComNumberOf(name); number > 0) {
      numbers.insert(number);
      if (stamps) {
        *stamps += name + ' ' + std::to_string(entry.ftLastWriteTime.dwLowDateTime) + ' ' +
                   std::to_string(entry.ftLastWriteTime.dwHighDateTime) + ' ' +
                   std::to_string(entry.dwFileAttributes) + ';';
      }
    }
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return numbers;
}

// The COM numbers that the system names now, without opening any.
std::set<int> namedPorts() {
  if (auto linked = wineLinkedPorts()) return std::move(*linked);
  std::set<int> numbers;
  char target[512];
  for (int number = 1; number <= SerialNameSpace::kMaxPorts; ++number) {
    const std::string name = "COM" + std::to_string(number);
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) numbers.insert(number);
  }
  return numbers;
}
#endif

}  // namespace

#ifdef _WIN32
std::string ComListStamp() {
  std::string stamp;
  if (!wineLinkedPorts(&stamp)) {
    for (const int number : namedPorts()) stamp += std::to_string(number) + ';';
  }
  return stamp;
}
#endif

std::string SerialPort::EntryText() const {
  std::string text = "COM" + std::to_string(number);
#ifdef _WIN32
  return text;  // the device path adds nothing there
#endif
  if (device.empty()) return text;
  return text + " (" + device + (product.empty() ? "" : ", " + product) + ")";
}

#ifdef _WIN32
// The COM devices that the system names now, without opening any.
std::vector<SerialPort> SerialNameSpace::Ports() const {
  std::vector<SerialPort> ports;
  for (const int number : namedPorts()) {
    if (number > kMaxPorts) break;
    const std::string path = "\\\\.\\COM" + std::to_string(number);
    ports.push_back({number, path, path, {}});
  }
  return ports;
}
#else
std::vector<SerialPort> SerialNameSpace::Ports() const {
  const std::vector<std::string> devices = Devices();
  // The by-id links, by the device they lead to.
  std::vector<std::pair<fs::path, std::string>> stable;
  std::error_code error;
  const fs::path byId = roots_.dev / "serial/by-id";
  for (fs::directory_iterator it(byId, error), end; !error && it != end; it.increment(error)) {
    std::error_code broken;
    const fs::path target = fs::canonical(it->path(), broken);
    if (!broken) stable.emplace_back(target, it->path().string());
  }
  std::sort(stable.begin(), stable.end());
  std::vector<SerialPort> ports;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    SerialPort port;
    port.number = static_cast<int>(i) + 1;
    port.device = devices[i];
    port.identity = devices[i];
    std::error_code broken;
    const fs::path target = fs::canonical(devices[i], broken);
    for (const auto& [leadsTo, link] : stable) {
      if (!broken && leadsTo == target) {
        port.identity = link;
        break;
      }
    }
    port.product = productOf(roots_.sys, fs::path(devices[i]).filename().string());
    ports.push_back(std::move(port));
  }
  return ports;
}
#endif

std::vector<std::string> SerialNameSpace::Devices() const {
#ifdef _WIN32
  // COMn is the device "\\.\COMn" itself: the list runs up to the highest port that the
  // machine has, so that entry n-1 stays COMn; a missing port between fails when opened.
  const std::set<int> named = namedPorts();
  const auto below = named.upper_bound(kMaxPorts);
  const int highest = below == named.begin() ? 0 : *std::prev(below);
  std::vector<std::string> ports;
  for (int number = 1; number <= highest; ++number) ports.push_back(DevicePath(number));
  return ports;
#endif
  std::vector<std::vector<std::pair<unsigned long, std::string>>> groups(std::size(kGroups));
  std::error_code error;
  for (fs::directory_iterator it(roots_.dev, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    for (std::size_t g = 0; g < std::size(kGroups); ++g) {
      unsigned long number;
      if (numberAfter(name, kGroups[g], number)) {
        groups[g].emplace_back(number, name);
        break;
      }
    }
  }
  const std::set<std::string> console = consoleNames(roots_.sys);
  std::vector<std::string> devices;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    auto& group = groups[g];
    std::sort(group.begin(), group.end());
    for (const auto& [number, name] : group) {
      if (devices.size() == static_cast<std::size_t>(kMaxPorts)) return devices;
      if (std::string(kGroups[g]) == "ttyS" && !uartPresent(roots_.sys, name)) continue;
      if (isConsole(roots_.dev, name, console)) continue;
      std::error_code gone;
      if (!fs::exists(roots_.dev / name, gone)) continue;  // a link whose device went away
      devices.push_back((roots_.dev / name).string());
    }
  }
  return devices;
}

std::string SerialNameSpace::DevicePath(int number) const {
  if (number < 1 || number > kMaxPorts) return {};
#ifdef _WIN32
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
  return path;
#endif
  const std::vector<std::string> devices = Devices();
  if (static_cast<std::size_t>(number) > devices.size()) return {};
  return devices[static_cast<std::size_t>(number) - 1];
}

std::string SerialNameSpace::EntryText(int number) const {
  std::string text = "COM" + std::to_string(number);
#ifdef _WIN32
  return text;  // the device path adds nothing there
#endif
  const std::string path = DevicePath(number);
  if (!path.empty()) text += " (" + path + ")";
  return text;
}

std::string SerialNameSpace::Resolve(const std::string& name) const {
  const bool portName = name.rfind("\\\\.\\COM", 0) == 0 || name.rfind("COM", 0) == 0;
  if (!portName) return name;
  const int number = ComNumberOf(name);
  return number > 0 ? DevicePath(number) : std::string{};
}

std::string ComDeviceName(int number, const SerialNameSpace& names) {
  return names.DevicePath(number);
}

std::string ComDeviceName(int number) {
  return ComDeviceName(number, SerialNameSpace{});
}

int ComNumberOf(const std::string& text) {
  std::size_t start = 0;
  if (text.rfind("\\\\.\\", 0) == 0) start = 4;
  if (text.compare(start, 3, "COM") != 0) return 0;
  std::size_t i = start + 3;
  long number = 0;
  const std::size_t first = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - first < 6) {
    number = number * 10 + (text[i] - '0');
    ++i;
  }
  if (i == first || number <= 0 || number > 0x7FFFFFFF) return 0;
  if (i < text.size() && text[i] != ' ') return 0;
  return static_cast<int>(number);
}

}  // namespace velmora::platform
