#include "ui/qt/ChoiceMemory.h"

#include <QGuiApplication>
#include <QScreen>

#include "ui/qt/MainWindow.h"

namespace velmora::ui::qt {

ChoiceMemory::ChoiceMemory(MainWindow& window, core::SettingsStore& settings)
    : window_(window), settings_(settings), position_(settings.Remembered().position) {
  window_.Form().ChoiceChanged = [this] { remember(); };
}

ChoiceMemory::~ChoiceMemory() {
  window_.Form().ChoiceChanged = nullptr;
}

void ChoiceMemory::Shown() {
  if (!settings_.Problem().empty()) window_.Form().ShowSettingsWarning(settings_.Problem());
  // Not where no screen is any more (one unplugged since).
  if (position_ && QGuiApplication::screenAt(QPoint(position_->x, position_->y) + QPoint(40, 40))) {
    window_.move(position_->x, position_->y);
  }
  shownAt_ = window_.pos();
}

void ChoiceMemory::Closing() {
  if (!shownAt_ || window_.pos() == *shownAt_) return;
  position_ = core::WindowPosition{window_.pos().x(), window_.pos().y()};
  remember();
}

void ChoiceMemory::remember() {
  const std::string problem =
      settings_.Remember(core::CurrentChoices(window_, window_.Form().Bridge(), position_));
  window_.Form().ShowSettingsWarning(problem);
}

}  // namespace velmora::ui::qt
