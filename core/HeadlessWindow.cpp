#include "core/HeadlessWindow.h"

#include <stdexcept>

namespace velmora::core {

namespace {
std::size_t at(auto value) {
  return static_cast<std::size_t>(value);
}
}  // namespace

HeadlessWindow::HeadlessWindow()
    : timerWindow_([this](const platform::Message& message) -> std::intptr_t {
        if (message.id != platform::WM_TIMER || message.wParam >= timers_.size()) return 0;
        auto& timer = timers_[message.wParam];
        if (timer.enabled && timer.handler) timer.handler();
        return 0;
      }) {
  for (auto& lamp : lamps_) {
    lamp.SetLitColor(serial::clLime);
    lamp.SetNotLitColor(serial::clNavy);
  }
  for (const Lamp error : {Lamp::MidiError, Lamp::ComError}) {
    lamps_[at(error)].SetLitColor(serial::clRed);
    lamps_[at(error)].SetNotLitColor(serial::clGray);
  }
}

void HeadlessWindow::SetShapeColor(Shape shape, serial::TColor color) {
  shapes_[at(shape)] = color;
  shapeHistory_[at(shape)].push_back(color);
  if (onShape_) onShape_(shape, color);
}

serial::TColor HeadlessWindow::ShapeColor(Shape shape) const {
  return shapes_[at(shape)];
}

const std::vector<serial::TColor>& HeadlessWindow::ShapeHistory(Shape shape) const {
  return shapeHistory_[at(shape)];
}

serial::TApdCustomStatusLight& HeadlessWindow::LampOf(Lamp lamp) {
  return lamps_[at(lamp)];
}

void HeadlessWindow::SetTimerEnabled(Timer timer, bool enabled) {
  auto& state = timers_[at(timer)];
  if (state.enabled == enabled) return;
  state.enabled = enabled;
  if (enabled) {
    timerWindow_.setTimer(at(timer), timerInterval);
  } else {
    timerWindow_.killTimer(at(timer));
  }
}

bool HeadlessWindow::TimerEnabled(Timer timer) const {
  return timers_[at(timer)].enabled;
}

void HeadlessWindow::SetOnTimer(Timer timer, std::function<void()> handler) {
  timers_[at(timer)].handler = std::move(handler);
}

void HeadlessWindow::ListClear(DeviceList list) {
  lists_[at(list)] = ListState{};
}

void HeadlessWindow::ListAppend(DeviceList list, const std::string& text) {
  lists_[at(list)].items.push_back(text);
}

void HeadlessWindow::ListDelete(DeviceList list, int index) {
  auto& state = lists_[at(list)];
  if (index < 0 || index >= static_cast<int>(state.items.size()))
    throw std::out_of_range("List index out of bounds");
  state.items.erase(state.items.begin() + index);
  if (state.selected == index) {
    state.selected = -1;
  } else if (state.selected > index) {
    --state.selected;
  }
}

int HeadlessWindow::ListCount(DeviceList list) const {
  return static_cast<int>(lists_[at(list)].items.size());
}

std::string HeadlessWindow::ListItem(DeviceList list, int index) const {
  const auto& items = lists_[at(list)].items;
  if (index < 0 || index >= static_cast<int>(items.size()))
    throw std::out_of_range("List index out of bounds");
  return items[static_cast<std::size_t>(index)];
}

void HeadlessWindow::ListSetSelected(DeviceList list, int index) {
  auto& state = lists_[at(list)];
  state.selected = index >= 0 && index < static_cast<int>(state.items.size()) ? index : -1;
}

int HeadlessWindow::ListSelected(DeviceList list) const {
  return lists_[at(list)].selected;
}

int HeadlessWindow::LogCount() const {
  return log_.Count();
}

void HeadlessWindow::LogDelete(int index) {
  log_.Delete(index);
}

void HeadlessWindow::LogAppend(const std::string& line) {
  log_.Append(line);
  if (onLog_) onLog_(line);
}

void HeadlessWindow::LogClear() {
  log_.Clear();
}

std::string HeadlessWindow::LogLine(int index) const {
  return log_.Line(index);
}

void HeadlessWindow::LogSetSelected(int index) {
  log_.SetSelected(index);
}

int HeadlessWindow::LogSelected() const {
  return log_.Selected();
}

void HeadlessWindow::SetStatusText(int panel, const std::string& text) {
  status_.at(static_cast<std::size_t>(panel)) = text;
}

std::string HeadlessWindow::StatusText(int panel) const {
  return status_.at(static_cast<std::size_t>(panel));
}

void HeadlessWindow::SetScreenCursor(Cursor cursor) {
  cursor_ = cursor;
  cursorHistory_.push_back(cursor);
}

void HeadlessWindow::ProcessMessages() {
  platform::MessagePump::current().processMessages();
}

}  // namespace velmora::core
