#pragma once

// The remembered choices: an INI file in the user's configuration folder, read at start and
// written, atomically, when the user changes a choice. A damaged file never stops the program:
// its choices are ignored with one log line, and it stays as it is until the next change.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Bridge.h"
#include "core/CommandLine.h"
#include "core/WindowSurface.h"

namespace velmora::core {

class SettingsSaver;

struct WindowPosition {
  int x = 0;
  int y = 0;
  bool operator==(const WindowPosition&) const = default;
};

struct RememberedChoices {
  std::string serialDevice;  // its identity (by-id path, else device path); empty: none
  std::optional<LineSettings> line;
  std::string midiIn;
  std::string midiOut;
  std::optional<WindowPosition> position;
  // [messages]: what crosses each way, text frames; unset: the defaults.
  std::optional<MessageChoice> messages = std::nullopt;
  // [bridge] timing: exact (true) or fast; unset: exact.
  std::optional<bool> exactTiming = std::nullopt;
  bool operator==(const RememberedChoices&) const = default;
};

// "$XDG_CONFIG_HOME/velmora", else "$HOME/.config/velmora"; empty when neither is set.
std::filesystem::path SettingsFolder(const char* xdgConfigHome, const char* home);
// The profile's file in that folder (velmora.conf for the default profile); empty with
// --no-settings or without a folder (nothing is then read or written).
std::filesystem::path SettingsFile(const CommandLine& options, const char* xdgConfigHome,
                                   const char* home);

std::string FormatSettings(const RememberedChoices& choices);
// Empty with `problem` set when the text is damaged; unknown sections and keys are skipped.
std::optional<RememberedChoices> ParseSettings(const std::string& text, std::string& problem);

struct LoadedSettings {
  RememberedChoices choices;
  std::string problem;  // one log line; empty when the file was good or absent
};
LoadedSettings LoadSettings(const std::filesystem::path& file);
// Temporary file beside it, then rename. Raises std::system_error.
void SaveSettings(const std::filesystem::path& file, const RememberedChoices& choices);

// The remembered choices as start-up takes them: each device is that device, present or not.
StartChoice ChoiceFromRemembered(const RememberedChoices& remembered);
// Which choice the user's hand changed.
enum class Choosing : std::uint8_t { SerialDevice, Line, MidiIn, MidiOut, Messages, Position };
// `remembered` with the one choice `what` taken from `current`: the others, and whatever a run
// was given on its command line, stay as they were remembered.
RememberedChoices Remembering(RememberedChoices remembered, const RememberedChoices& current,
                              Choosing what);
// What crosses: the command line's choice, else the remembered one, else the defaults.
MessageChoice ChosenMessages(const CommandLine& options, const RememberedChoices& remembered);
// What the window shows chosen now. Keeps `position`.
RememberedChoices CurrentChoices(const WindowSurface& window, const Bridge& bridge,
                                 std::optional<WindowPosition> position);

// Reads the file once and writes it, through a worker, when the choices differ from the last
// ones known; what waits is written when the store goes. Without a file (--no-settings) it
// neither reads nor writes. UI thread only.
class SettingsStore {
 public:
  explicit SettingsStore(std::filesystem::path file, std::string profile = kDefaultProfile);
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;
  const RememberedChoices& Remembered() const { return remembered_; }
  // The profile whose choices these are.
  const std::string& Profile() const { return profile_; }
  const std::string& Problem() const { return problem_; }
  // Returns at once (empty); a save that fails is told later through the handler below.
  std::string Remember(const RememberedChoices& current);
  // Called on this thread with one log line when a save failed; null: none.
  void SetOnSaveProblem(std::function<void(const std::string&)> handler) {
    saveProblem_ = std::move(handler);
  }

 private:
  std::filesystem::path file_;
  std::string profile_;
  RememberedChoices remembered_;
  std::string problem_;
  std::function<void(const std::string&)> saveProblem_;
  std::unique_ptr<SettingsSaver> saver_;  // null without a file
};

}  // namespace velmora::core
