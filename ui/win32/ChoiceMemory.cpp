#include "ui/win32/ChoiceMemory.h"

#include "ui/win32/MainWindow.h"

namespace velmora::ui::win32 {

ChoiceMemory::ChoiceMemory(MainWindow& window, core::SettingsStore& settings)
    : window_(window), settings_(settings), position_(settings.Remembered().position) {
  window_.Form().ChoiceChanged = [this] { remember(); };
}

ChoiceMemory::~ChoiceMemory() {
  window_.Form().ChoiceChanged = nullptr;
}

POINT ChoiceMemory::place() const {
  RECT frame{};
  GetWindowRect(window_.Handle(), &frame);
  return POINT{frame.left, frame.top};
}

void ChoiceMemory::Shown() {
  if (!settings_.Problem().empty()) window_.Form().ShowSettingsWarning(settings_.Problem());
  // Not where no screen is any more (one unplugged since).
  if (position_ && MonitorFromPoint(POINT{position_->x + 40, position_->y + 40},
                                    MONITOR_DEFAULTTONULL) != nullptr) {
    SetWindowPos(window_.Handle(), nullptr, position_->x, position_->y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
  }
  shownAt_ = place();
}

void ChoiceMemory::Closing() {
  const POINT now = place();
  if (!shownAt_ || (now.x == shownAt_->x && now.y == shownAt_->y)) return;
  position_ = core::WindowPosition{now.x, now.y};
  remember();
}

void ChoiceMemory::remember() {
  const std::string problem =
      settings_.Remember(core::CurrentChoices(window_, window_.Form().Bridge(), position_));
  window_.Form().ShowSettingsWarning(problem);
}

}  // namespace velmora::ui::win32
