#pragma once

// Ties the Win32 main window to the remembered choices: device and line choices are written as
// the user makes them, a moved window when it closes. UI thread only.

#include "ui/win32/Win32Api.h"

#include <optional>

#include "core/Settings.h"

namespace velmora::ui::win32 {

class MainWindow;

class ChoiceMemory {
 public:
  ChoiceMemory(MainWindow& window, core::SettingsStore& settings);
  ~ChoiceMemory();
  ChoiceMemory(const ChoiceMemory&) = delete;
  ChoiceMemory& operator=(const ChoiceMemory&) = delete;

  // After the first show, its centring and the start-up: the settings' log line, then the
  // remembered place if a screen is still there.
  void Shown();
  // Before the devices go: remembers where the window was moved, if it was.
  void Closing();

 private:
  void remember();
  POINT place() const;

  MainWindow& window_;
  core::SettingsStore& settings_;
  std::optional<core::WindowPosition> position_;
  std::optional<POINT> shownAt_;
};

}  // namespace velmora::ui::win32
