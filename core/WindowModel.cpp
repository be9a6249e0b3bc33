#include "core/WindowModel.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::core {

namespace {
std::size_t at(auto value) {
  return static_cast<std::size_t>(value);
}
}  // namespace

namespace {
constexpr std::uintptr_t kFrameTimer = 16;  // beside the two handler timers
constexpr std::size_t kHistory = 64;        // colours and cursors kept for tests

template <typename T>
void keep(std::vector<T>& history, T value) {
  if (history.size() >= kHistory) history.erase(history.begin());
  history.push_back(value);
}
}  // namespace

void ModelLamp::Changed() {
  if (model_) model_->lampChanged(index_);
}

WindowModel::WindowModel(const platform::Clock& clock)
    : clock_(clock),
      throttle_(clock),
      timerWindow_([this](const platform::Message& message) -> std::intptr_t {
        if (message.id != platform::WM_TIMER) return 0;
        if (message.wParam == kFrameTimer) {
          timerWindow_.killTimer(kFrameTimer);
          frameArmed_ = false;
          if (dirty_) publish();
          return 0;
        }
        if (message.wParam >= timers_.size()) return 0;
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
  for (std::size_t i = 0; i < lamps_.size(); ++i) lamps_[i].Attach(this, i);
}

WindowModel::~WindowModel() {
  for (auto& lamp : lamps_) lamp.Attach(nullptr, 0);
}

void WindowModel::SetOnPublished(std::function<void()> handler) {
  onPublished_ = std::move(handler);
  if (onPublished_) publish();
}

WindowSnapshot WindowModel::Snapshot() const {
  const std::lock_guard lock(publishedMutex_);
  return published_;
}

void WindowModel::lampChanged(std::size_t index) {
  if (lamps_[index].Lit()) lampFlashed_[index] = true;
  changed();
}

void WindowModel::SetLampHint(Lamp lamp, const std::string& text) {
  lampHints_[at(lamp)] = text;
  changed();
}

void WindowModel::Report(const std::string& text) {
  if (!throttle_.Admit(text)) return;
  notices_.push_back(Notice{nextNotice_++, text});
  PublishNow();
}

void WindowModel::NoticeClosed(std::uint64_t id) {
  const auto shown = [&](const Notice& notice) { return notice.id == id; };
  const auto found = std::find_if(notices_.begin(), notices_.end(), shown);
  if (found == notices_.end()) return;
  throttle_.Closed(found->text);
  notices_.erase(found);
  changed();
}

void WindowModel::SetClosed() {
  closed_ = true;
  PublishNow();
}

void WindowModel::PublishNow() {
  if (onPublished_) publish();
}

void WindowModel::changed() {
  dirty_ = true;
  if (!onPublished_ || frameArmed_) return;
  const auto since = clock_.now() - lastPublished_;
  if (since >= kFrame) {
    publish();
    return;
  }
  // Changes within a frame of the last snapshot wait for the next one, together.
  frameArmed_ = true;
  timerWindow_.setTimer(kFrameTimer,
                        std::chrono::duration_cast<std::chrono::milliseconds>(kFrame - since));
}

void WindowModel::publish() {
  dirty_ = false;
  lastPublished_ = clock_.now();
  WindowSnapshot next;
  next.version = ++version_;
  next.shapes = shapes_;
  for (std::size_t i = 0; i < lamps_.size(); ++i) {
    auto& lamp = next.lamps[i];
    // A flash between two snapshots still shows in one.
    lamp.lit = lamps_[i].Lit() || lampFlashed_[i];
    lamp.litColor = lamps_[i].LitColor();
    lamp.notLitColor = lamps_[i].NotLitColor();
    lamp.hint = lampHints_[i];
    lampFlashed_[i] = false;
  }
  for (std::size_t i = 0; i < lists_.size(); ++i) {
    next.lists[i].items = lists_[i].items;
    next.lists[i].selected = lists_[i].selected;
  }
  next.log.reserve(static_cast<std::size_t>(log_.Count()));
  for (int i = 0; i < log_.Count(); ++i) next.log.push_back(log_.Line(i));
  next.logSelected = log_.Selected();
  next.status = status_;
  next.busy = cursor_ == Cursor::HourGlass;
  if (lineSource_) next.line = lineSource_();
  if (messagesSource_) next.messages = messagesSource_();
  if (countsSource_) next.counts = countsSource_();
  if (captureSource_) next.capture = captureSource_();
  if (captureStopSource_) next.captureStopped = captureStopSource_();
  if (timingSource_) next.exactTiming = timingSource_();
  next.notices = notices_;
  next.closed = closed_;
  {
    const std::lock_guard lock(publishedMutex_);
    published_ = std::move(next);
  }
  if (onPublished_) onPublished_();
}

void WindowModel::SetShapeColor(Shape shape, serial::TColor color) {
  shapes_[at(shape)] = color;
  keep(shapeHistory_[at(shape)], color);
  if (onShape_) onShape_(shape, color);
  changed();
}

serial::TColor WindowModel::ShapeColor(Shape shape) const {
  return shapes_[at(shape)];
}

const std::vector<serial::TColor>& WindowModel::ShapeHistory(Shape shape) const {
  return shapeHistory_[at(shape)];
}

serial::TApdCustomStatusLight& WindowModel::LampOf(Lamp lamp) {
  return lamps_[at(lamp)];
}

void WindowModel::SetTimerEnabled(Timer timer, bool enabled) {
  auto& state = timers_[at(timer)];
  if (state.enabled == enabled) return;
  state.enabled = enabled;
  if (enabled) {
    timerWindow_.setTimer(at(timer), timerInterval);
  } else {
    timerWindow_.killTimer(at(timer));
  }
}

bool WindowModel::TimerEnabled(Timer timer) const {
  return timers_[at(timer)].enabled;
}

void WindowModel::SetOnTimer(Timer timer, std::function<void()> handler) {
  timers_[at(timer)].handler = std::move(handler);
}

void WindowModel::ListClear(DeviceList list) {
  lists_[at(list)] = ListState{};
  changed();
}

void WindowModel::ListAppend(DeviceList list, const std::string& text) {
  lists_[at(list)].items.push_back(text);
  changed();
}

void WindowModel::ListDelete(DeviceList list, int index) {
  auto& state = lists_[at(list)];
  if (index < 0 || index >= static_cast<int>(state.items.size()))
    throw std::out_of_range("List index out of bounds");
  state.items.erase(state.items.begin() + index);
  if (state.selected == index) {
    state.selected = -1;
  } else if (state.selected > index) {
    --state.selected;
  }
  changed();
}

int WindowModel::ListCount(DeviceList list) const {
  return static_cast<int>(lists_[at(list)].items.size());
}

std::string WindowModel::ListItem(DeviceList list, int index) const {
  const auto& items = lists_[at(list)].items;
  if (index < 0 || index >= static_cast<int>(items.size()))
    throw std::out_of_range("List index out of bounds");
  return items[static_cast<std::size_t>(index)];
}

void WindowModel::ListSetSelected(DeviceList list, int index) {
  auto& state = lists_[at(list)];
  state.selected = index >= 0 && index < static_cast<int>(state.items.size()) ? index : -1;
  changed();
}

int WindowModel::ListSelected(DeviceList list) const {
  return lists_[at(list)].selected;
}

int WindowModel::LogCount() const {
  return log_.Count();
}

void WindowModel::LogDelete(int index) {
  log_.Delete(index);
  changed();
}

void WindowModel::LogAppend(const std::string& line) {
  log_.Append(line);
  if (onLog_) onLog_(line);
  changed();
}

void WindowModel::LogClear() {
  log_.Clear();
  changed();
}

std::string WindowModel::LogLine(int index) const {
  return log_.Line(index);
}

void WindowModel::LogSetSelected(int index) {
  log_.SetSelected(index);
  changed();
}

int WindowModel::LogSelected() const {
  return log_.Selected();
}

void WindowModel::SetStatusText(int panel, const std::string& text) {
  status_.at(static_cast<std::size_t>(panel)) = text;
  changed();
}

std::string WindowModel::StatusText(int panel) const {
  return status_.at(static_cast<std::size_t>(panel));
}

void WindowModel::SetScreenCursor(Cursor cursor) {
  cursor_ = cursor;
  keep(cursorHistory_, cursor);
  changed();
}

void WindowModel::ProcessMessages() {
  platform::MessagePump::current().processMessages();
}

}  // namespace velmora::core
