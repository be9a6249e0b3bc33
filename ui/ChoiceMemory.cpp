#include "ui/ChoiceMemory.h"

namespace velmora::ui {

ChoiceMemory::ChoiceMemory(TfmMain& form, core::WindowSurface& window,
                           core::SettingsStore& settings)
    : form_(form), window_(window), settings_(settings), position_(settings.Remembered().position) {
  form_.ChoiceChanged = [this] { remember(); };
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
  remember();
}

void ChoiceMemory::remember() {
  form_.ShowSettingsWarning(
      settings_.Remember(core::CurrentChoices(window_, form_.Bridge(), position_)));
}

}  // namespace velmora::ui
