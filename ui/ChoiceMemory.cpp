#include "ui/ChoiceMemory.h"

namespace velmora::ui {

ChoiceMemory::ChoiceMemory(TfmMain& form, core::WindowSurface& window,
                           core::SettingsStore& settings)
    : form_(form), window_(window), settings_(settings), position_(settings.Remembered().position) {
  form_.ChoiceChanged = [this](core::Choosing what) { remember(what); };
  settings_.SetOnSaveProblem([this](const std::string& line) { form_.ShowSettingsWarning(line); });
}

ChoiceMemory::~ChoiceMemory() {
  settings_.SetOnSaveProblem(nullptr);
  form_.ChoiceChanged = nullptr;
}

void ChoiceMemory::Started() {
  form_.ShowSettingsWarning(settings_.Problem());
}

void ChoiceMemory::Moved(const core::WindowPosition& position) {
  if (position_ == position) return;
  position_ = position;
  remember(core::Choosing::Position);
}

void ChoiceMemory::remember(core::Choosing what) {
  // The one choice the user made: another device's entry, or what this run was given on its
  // command line, is never written in passing.
  form_.ShowSettingsWarning(settings_.Remember(core::Remembering(
      settings_.Remembered(), core::CurrentChoices(window_, form_.Bridge(), position_), what)));
}

}  // namespace velmora::ui
