#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/LogLines.h"
#include "core/ReportThrottle.h"
#include "core/WindowSnapshot.h"
#include "core/WindowSurface.h"
#include "platform/MessagePump.h"

namespace velmora::core {

class WindowModel;

// A lamp that remembers its state and tells its model of each change.
class ModelLamp final : public serial::TApdCustomStatusLight {
 public:
  void Attach(WindowModel* model, std::size_t index) {
    model_ = model;
    index_ = index;
  }

 protected:
  void Changed() override;

 private:
  WindowModel* model_ = nullptr;
  std::size_t index_ = 0;
};

// The main window's controls as the bridge sees them, without a window system: what the
// window's handlers read and write, synchronously, on the bridge thread. A view (the Qt or
// Win32 window, on a thread of its own) draws snapshots of it: the model publishes one at most
// every kFrame while something changes, and tells the view so. Its timers run on the message
// pump of the thread that creates it. Bridge thread only, except where a member says otherwise.
class WindowModel final : public WindowSurface {
 public:
  static constexpr std::chrono::milliseconds kFrame{40};  // 25 snapshots a second at most

  explicit WindowModel(const platform::Clock& clock = platform::Clock::system());
  ~WindowModel() override;

  // Called on the bridge thread after each snapshot published; null: none published.
  void SetOnPublished(std::function<void()> handler);
  // Any thread: the last snapshot published.
  WindowSnapshot Snapshot() const;
  // Where the snapshots read the serial line in force.
  void SetLineSource(std::function<LineSettings()> source) { lineSource_ = std::move(source); }
  // Where they read what crosses each way.
  void SetMessagesSource(std::function<MessageChoice()> source) {
    messagesSource_ = std::move(source);
  }
  // Where they read the counters and the capture's file.
  void SetCountsSource(std::function<TrafficCounts()> source) { countsSource_ = std::move(source); }
  void SetCaptureSource(std::function<std::string()> source) { captureSource_ = std::move(source); }
  // Where they read why the last capture stopped by itself.
  void SetCaptureStopSource(std::function<std::string()> source) {
    captureStopSource_ = std::move(source);
  }
  // Where they read the MIDI service's timing in force.
  void SetTimingSource(std::function<std::optional<bool>()> source) {
    timingSource_ = std::move(source);
  }
  // An error for the user; the same text is counted, not shown again, while its box is open
  // and shortly after (the view tells of each box closed).
  void Report(const std::string& text);
  void NoticeClosed(std::uint64_t id);
  // The devices are closed: the last snapshot says so.
  void SetClosed();
  // Publishes now what changed, whatever the frame's pace.
  void PublishNow();

  void SetLampHint(Lamp lamp, const std::string& text) override;

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

  // The last colours each shape has shown, oldest first (for tests of the switching sequence).
  const std::vector<serial::TColor>& ShapeHistory(Shape shape) const;
  // The last cursors set, oldest first.
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
  friend class ModelLamp;
  void lampChanged(std::size_t index);
  // Something a snapshot shows changed: publish at the frame's pace.
  void changed();
  void publish();

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
  std::array<ModelLamp, kLampCount> lamps_;
  std::array<TimerState, 2> timers_;
  std::array<ListState, 3> lists_;
  LogLines log_;
  std::array<std::string, 2> status_;
  Cursor cursor_ = Cursor::Default;
  std::vector<Cursor> cursorHistory_;
  std::function<void(const std::string&)> onLog_;
  std::function<void(Shape, serial::TColor)> onShape_;

  // Publishing: bridge thread.
  const platform::Clock& clock_;
  std::function<void()> onPublished_;
  std::function<LineSettings()> lineSource_;
  std::function<MessageChoice()> messagesSource_;
  std::function<TrafficCounts()> countsSource_;
  std::function<std::string()> captureSource_;
  std::function<std::string()> captureStopSource_;
  std::function<std::optional<bool>()> timingSource_;
  std::array<bool, kLampCount> lampFlashed_{};  // lit since the last snapshot
  std::array<std::string, kLampCount> lampHints_;
  ReportThrottle throttle_;
  std::vector<Notice> notices_;
  std::vector<std::pair<std::uint64_t, std::string>> noticesOpen_;  // shown, not closed yet
  std::uint64_t nextNotice_ = 1;
  bool closed_ = false;
  bool dirty_ = false;
  bool frameArmed_ = false;
  platform::Clock::time_point lastPublished_{};
  std::uint64_t version_ = 0;
  // The snapshot for views: written by the bridge thread, read by any.
  mutable std::mutex publishedMutex_;  // guards published_ only; held for a copy, never longer
  WindowSnapshot published_;
  platform::MessageWindow timerWindow_;  // last: its waiting ticks go first
};

}  // namespace velmora::core
