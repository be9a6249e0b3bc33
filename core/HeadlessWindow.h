#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/LogLines.h"
#include "core/WindowSurface.h"
#include "platform/MessagePump.h"

namespace velmora::core {

// A lamp that only remembers its state.
class HeadlessLamp final : public serial::TApdCustomStatusLight {};

// The main window's controls without a window system, for tests and the benchmark harness.
// Its timers run on the message pump of the thread that creates it. UI thread only.
class HeadlessWindow final : public WindowSurface {
 public:
  HeadlessWindow();

  void SetShapeColor(Shape shape, serial::TColor color) override;
  serial::TColor ShapeColor(Shape shape) const override;
  serial::TApdCustomStatusLight& LampOf(Lamp lamp) override;
  void SetTimerEnabled(Timer timer, bool enabled) override;
  bool TimerEnabled(Timer timer) const override;
  void SetOnTimer(Timer timer, std::function<void()> handler) override;

  void ListClear(DeviceList list) override;
  void ListAppend(DeviceList list, const std::string& text) override;
  void ListDelete(DeviceList list, int index) override;
  int ListCount(DeviceList list) const override;
  std::string ListItem(DeviceList list, int index) const override;
  void ListSetSelected(DeviceList list, int index) override;
  int ListSelected(DeviceList list) const override;

  int LogCount() const override;
  void LogDelete(int index) override;
  void LogAppend(const std::string& line) override;
  void LogClear() override;
  std::string LogLine(int index) const override;
  void LogSetSelected(int index) override;
  int LogSelected() const override;

  void SetStatusText(int panel, const std::string& text) override;
  std::string StatusText(int panel) const override;

  Cursor ScreenCursor() const override { return cursor_; }
  void SetScreenCursor(Cursor cursor) override;

  void ProcessMessages() override;

  // Every colour each shape has shown, oldest first (for tests of the switching sequence).
  const std::vector<serial::TColor>& ShapeHistory(Shape shape) const;
  // Every cursor set, oldest first.
  const std::vector<Cursor>& CursorHistory() const { return cursorHistory_; }
  std::chrono::milliseconds timerInterval{100};

  // Called after each log line is added and each shape colour is set (the headless program
  // prints them).
  void SetOnLogLine(std::function<void(const std::string&)> handler) {
    onLog_ = std::move(handler);
  }
  void SetOnShapeColor(std::function<void(Shape, serial::TColor)> handler) {
    onShape_ = std::move(handler);
  }

 private:
  struct ListState {
    std::vector<std::string> items;
    int selected = -1;
  };
  struct TimerState {
    bool enabled = false;
    std::function<void()> handler;
  };

  std::array<serial::TColor, 3> shapes_{kSwitchingColor, kSwitchingColor, kSwitchingColor};
  std::array<std::vector<serial::TColor>, 3> shapeHistory_;
  std::array<HeadlessLamp, kLampCount> lamps_;
  std::array<TimerState, 2> timers_;
  std::array<ListState, 3> lists_;
  LogLines log_;
  std::array<std::string, 2> status_;
  Cursor cursor_ = Cursor::Default;
  std::vector<Cursor> cursorHistory_;
  std::function<void(const std::string&)> onLog_;
  std::function<void(Shape, serial::TColor)> onShape_;
  platform::MessageWindow timerWindow_;
};

}  // namespace velmora::core
