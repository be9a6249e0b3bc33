#pragma once

// Keeps the user's choices in the settings file for every window: the devices, the line, and
// where the window was left; each as the user changes it, and only it. Bridge thread.

#include <optional>

#include "core/Settings.h"
#include "core/WindowSurface.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::ui {

class ChoiceMemory {
 public:
  ChoiceMemory(TfmMain& form, core::WindowSurface& window, core::SettingsStore& settings);
  ~ChoiceMemory();
  ChoiceMemory(const ChoiceMemory&) = delete;
  ChoiceMemory& operator=(const ChoiceMemory&) = delete;

  // After start-up: what was wrong with the file is told.
  void Started();
  // The window was moved (or left) there.
  void Moved(const core::WindowPosition& position);
  const std::optional<core::WindowPosition>& Position() const { return position_; }

 private:
  void remember(core::Choosing what);

  TfmMain& form_;
  core::WindowSurface& window_;
  core::SettingsStore& settings_;
  std::optional<core::WindowPosition> position_;
};

}  // namespace velmora::ui
