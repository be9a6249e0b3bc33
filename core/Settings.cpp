#include "core/Settings.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/SettingsSaver.h"

namespace velmora::core {

namespace {

// Far above any real file: a bigger one is not ours, and is never read whole.
constexpr std::size_t kMaxFileSize = 64 * 1024;
constexpr int kMaxCoordinate = 1000000;

std::optional<long> number(const std::string& text, long low, long high) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || at != end || value < low || value > high)
    return std::nullopt;
  return value;
}

bool printable(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string parityLetter(serial::TParity parity) {
  static constexpr const char* kLetters[] = {"N", "O", "E", "M", "S"};
  return kLetters[static_cast<int>(parity)];
}

// In FlowControl's order.
constexpr const char* kFlowNames[] = {"none", "rts-cts", "xon-xoff"};

// [messages]: "to-serial", "to-midi" (kinds) and "serial-text" (on/off).
bool takeMessages(RememberedChoices& choices, const std::string& key, const std::string& value) {
  if (key != "to-serial" && key != "to-midi" && key != "serial-text") return true;
  MessageChoice& messages = choices.messages ? *choices.messages : choices.messages.emplace();
  if (key == "serial-text") {
    if (value != "on" && value != "off") return false;
    messages.serialText = value == "on";
    return true;
  }
  std::string bad;
  const auto kinds = ParseMessageKinds(value, bad);
  if (!kinds) return false;
  (key == "to-serial" ? messages.toSerial : messages.toMidi) = *kinds;
  return true;
}

// Takes one "key=value" of a known section; false when the value is not one it can hold.
bool take(RememberedChoices& choices, const std::string& section, const std::string& key,
          const std::string& value) {
  const auto line = [&]() -> LineSettings& {
    if (!choices.line) choices.line.emplace();
    return *choices.line;
  };
  const auto position = [&]() -> WindowPosition& {
    if (!choices.position) choices.position.emplace();
    return *choices.position;
  };
  if (section == "serial") {
    if (key == "device") {
      choices.serialDevice = value;
      return !value.empty();
    }
    if (key == "baud" || key == "data-bits" || key == "stop-bits") {
      const auto parsed = key == "baud"        ? number(value, 1, 4000000)
                          : key == "data-bits" ? number(value, 5, 8)
                                               : number(value, 1, 2);
      if (!parsed) return false;
      if (key == "baud") line().baud = static_cast<std::int32_t>(*parsed);
      if (key == "data-bits") line().dataBits = static_cast<std::uint16_t>(*parsed);
      if (key == "stop-bits") line().stopBits = static_cast<std::uint16_t>(*parsed);
      return true;
    }
    if (key == "parity") {
      const auto settings = ParseLineSettings("1,8," + value + ",1");
      if (!settings || value.size() != 1) return false;
      line().parity = settings->parity;
      return true;
    }
    if (key == "flow") {
      const auto found = std::find(std::begin(kFlowNames), std::end(kFlowNames), value);
      if (found == std::end(kFlowNames)) return false;
      line().flow = static_cast<FlowControl>(found - std::begin(kFlowNames));
      return true;
    }
  } else if (section == "midi") {
    if (key == "input") choices.midiIn = value;
    if (key == "output") choices.midiOut = value;
    return true;
  } else if (section == "messages") {
    return takeMessages(choices, key, value);
  } else if (section == "bridge" && key == "timing") {
    if (value != "exact" && value != "fast") return false;
    choices.exactTiming = value == "exact";
    return true;
  } else if (section == "window" && (key == "x" || key == "y")) {
    const auto parsed = number(value, -kMaxCoordinate, kMaxCoordinate);
    if (!parsed) return false;
    (key == "x" ? position().x : position().y) = static_cast<int>(*parsed);
    return true;
  }
  return true;  // unknown: a later version's
}

#ifndef _WIN32
std::string systemText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Closes its descriptor whatever happens.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};
#endif

}  // namespace

std::filesystem::path SettingsFolder(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome && *xdgConfigHome == '/')
    return std::filesystem::path(xdgConfigHome) / "velmora";
  if (home && *home) return std::filesystem::path(home) / ".config" / "velmora";
  return {};
}

std::filesystem::path SettingsFile(const CommandLine& options, const char* xdgConfigHome,
                                   const char* home) {
  const std::filesystem::path folder = SettingsFolder(xdgConfigHome, home);
  if (options.noSettings || folder.empty()) return {};
  return folder / SettingsFileName(options.profile);
}

std::string FormatSettings(const RememberedChoices& choices) {
  std::string text = "# Velmora's remembered choices, written when they change.\n[serial]\n";
  if (!choices.serialDevice.empty()) text += "device=" + choices.serialDevice + "\n";
  if (choices.line) {
    text += "baud=" + std::to_string(choices.line->baud) + "\n";
    text += "data-bits=" + std::to_string(choices.line->dataBits) + "\n";
    text += "parity=" + parityLetter(choices.line->parity) + "\n";
    text += "stop-bits=" + std::to_string(choices.line->stopBits) + "\n";
    text += std::string("flow=") + kFlowNames[static_cast<int>(choices.line->flow)] + "\n";
  }
  text += "\n[midi]\n";
  if (!choices.midiIn.empty()) text += "input=" + choices.midiIn + "\n";
  if (!choices.midiOut.empty()) text += "output=" + choices.midiOut + "\n";
  if (choices.exactTiming) {
    text += std::string("\n[bridge]\ntiming=") + (*choices.exactTiming ? "exact" : "fast") + "\n";
  }
  if (choices.messages) {
    text += "\n[messages]\nto-serial=" + MessageKindsText(choices.messages->toSerial) +
            "\nto-midi=" + MessageKindsText(choices.messages->toMidi) +
            "\nserial-text=" + (choices.messages->serialText ? "on" : "off") + "\n";
  }
  if (choices.position) {
    text += "\n[window]\nx=" + std::to_string(choices.position->x) +
            "\ny=" + std::to_string(choices.position->y) + "\n";
  }
  return text;
}

std::optional<RememberedChoices> ParseSettings(const std::string& text, std::string& problem) {
  RememberedChoices choices;
  std::string section;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = "ligne " + std::to_string(number);
    if (!printable(line)) {
      problem = where + " illisible";
      return std::nullopt;
    }
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        problem = where + " illisible";
        return std::nullopt;
      }
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      problem = where + " illisible";
      return std::nullopt;
    }
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (!take(choices, section, key, value)) {
      problem = where + " : valeur invalide pour « " + key + " »";
      return std::nullopt;
    }
  }
  return choices;
}

#ifndef _WIN32
// Windows has its own in SettingsFileWin32.cpp.
LoadedSettings LoadSettings(const std::filesystem::path& file) {
  LoadedSettings loaded;
  const auto ignored = [&](const std::string& why) {
    loaded.problem = "Réglages ignorés (" + file.string() + ") : " + why;
    return loaded;
  };
  // Non-blocking, so that a FIFO in its place cannot hold the start-up.
  const Descriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return loaded;
    return ignored(systemText(errno));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return ignored(systemText(errno));
  if (!S_ISREG(status.st_mode)) return ignored("ce n'est pas un fichier ordinaire");
  if (static_cast<std::uintmax_t>(status.st_size) > kMaxFileSize) return ignored("trop grand");
  std::string text(kMaxFileSize + 1, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ignored(systemText(errno));
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  if (size > kMaxFileSize) return ignored("trop grand");
  text.resize(size);
  std::string problem;
  if (auto choices = ParseSettings(text, problem)) {
    loaded.choices = std::move(*choices);
    return loaded;
  }
  return ignored(problem);
}

void SaveSettings(const std::filesystem::path& file, const RememberedChoices& choices) {
  std::filesystem::create_directories(file.parent_path());
  std::string temporary = file.string() + ".XXXXXX";
  const Descriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) throw std::system_error(errno, std::generic_category(), temporary);
  const std::string text = FormatSettings(choices);
  std::size_t written = 0;
  int error = 0;
  while (written < text.size() && error == 0) {
    const ssize_t put = ::write(fd.get(), text.data() + written, text.size() - written);
    if (put < 0 && errno != EINTR) error = errno;
    if (put > 0) written += static_cast<std::size_t>(put);
  }
  if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), file.string());
  }
}

#endif

StartChoice ChoiceFromRemembered(const RememberedChoices& remembered) {
  // Each remembered device stays the choice while it is away: it opens when it comes.
  StartChoice choice;
  choice.comIdentity = remembered.serialDevice;
  if (remembered.line) choice.line = *remembered.line;
  choice.midiIn = remembered.midiIn;
  choice.midiOut = remembered.midiOut;
  return choice;
}

RememberedChoices Remembering(RememberedChoices remembered, const RememberedChoices& current,
                              Choosing what) {
  switch (what) {
    case Choosing::SerialDevice:
      remembered.serialDevice = current.serialDevice;
      break;
    case Choosing::Line:
      remembered.line = current.line;
      break;
    case Choosing::MidiIn:
      remembered.midiIn = current.midiIn;
      break;
    case Choosing::MidiOut:
      remembered.midiOut = current.midiOut;
      break;
    case Choosing::Messages:
      remembered.messages = current.messages;
      break;
    case Choosing::Position:
      remembered.position = current.position;
      break;
  }
  return remembered;
}

RememberedChoices CurrentChoices(const WindowSurface& window, const Bridge& bridge,
                                 std::optional<WindowPosition> position) {
  RememberedChoices current;
  // The identity, never the COM number, which is only a label.
  current.serialDevice = bridge.ComIdentity();
  if (bridge.SerialPort) current.line = bridge.PortLineSettings();
  const auto name = [&](DeviceList list) {
    std::string text = window.ListSelectedText(list);
    const std::string absent = kAbsentSuffix;
    if (text.size() > absent.size() && text.ends_with(absent))
      text.resize(text.size() - absent.size());
    return text == kNoMidiPort ? std::string{} : text;
  };
  current.midiIn = name(DeviceList::MidiIn);
  current.midiOut = name(DeviceList::MidiOut);
  current.position = position;
  if (bridge.Messages() != MessageChoice{}) current.messages = bridge.Messages();
  return current;
}

MessageChoice ChosenMessages(const CommandLine& options, const RememberedChoices& remembered) {
  MessageChoice chosen = remembered.messages.value_or(MessageChoice{});
  if (options.toSerial) chosen.toSerial = *options.toSerial;
  if (options.toMidi) chosen.toMidi = *options.toMidi;
  if (options.serialText) chosen.serialText = true;
  return chosen;
}

SettingsStore::SettingsStore(std::filesystem::path file, std::string profile)
    : file_(std::move(file)), profile_(std::move(profile)) {
  if (file_.empty()) return;
  LoadedSettings loaded = LoadSettings(file_);
  remembered_ = std::move(loaded.choices);
  problem_ = std::move(loaded.problem);
  saver_ = std::make_unique<SettingsSaver>(file_, [this](const std::string& line) {
    if (saveProblem_) saveProblem_(line);
  });
}

SettingsStore::~SettingsStore() = default;

std::string SettingsStore::Remember(const RememberedChoices& current) {
  if (file_.empty() || current == remembered_) return {};
  saver_->Save(current);
  remembered_ = current;
  problem_.clear();
  return {};
}

}  // namespace velmora::core
