#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>

#include "core/Bridge.h"
#include "core/LogLines.h"
#include "core/WindowSurface.h"
#include "ui/MainWindowHandlers.h"
#include "ui/qt/ErrorReport.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace velmora::ui::qt {

class PumpHooks;
class TApdStatusLight;
class TShape;

// The main window (fmMain): its controls are the window surface that the bridge and TfmMain's
// handlers drive. It ties the UI thread's message pump to Qt while it exists and reports the
// errors that leave a handler. UI thread only.
class MainWindow final : public QMainWindow, public core::WindowSurface {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 377;
  static constexpr int kClientHeight = 341;
  static constexpr int kTimerInterval = 100;    // ms
  static constexpr int kLogPaintInterval = 40;  // ms: the log is shown 25 times a second at most

  // `clock` times the error report's quiet time.
  explicit MainWindow(core::Bridge& bridge,
                      const platform::Clock& clock = platform::Clock::system(),
                      QWidget* parent = nullptr);
  ~MainWindow() override;

  TfmMain& Form() { return *form_; }
  ErrorReport& Errors() { return errors_; }
  // FormCreate runs once, on the event loop after the window was first shown.
  bool FormCreated() const { return formCreated_; }
  void SetOnFormCreated(std::function<void()> handler) { onFormCreated_ = std::move(handler); }
  // Shows the about box modally; returns when it has been closed.
  void ShowAboutBox();
  // Closes whatever modal box is open (about box, error report), then the window: how a
  // termination request ends the program.
  void CloseAll();

  void SetShapeColor(core::Shape shape, serial::TColor color) override;
  serial::TColor ShapeColor(core::Shape shape) const override;
  serial::TApdCustomStatusLight& LampOf(core::Lamp lamp) override;
  void SetTimerEnabled(core::Timer timer, bool enabled) override;
  bool TimerEnabled(core::Timer timer) const override;
  void SetOnTimer(core::Timer timer, std::function<void()> handler) override;

  void ListClear(core::DeviceList list) override;
  void ListAppend(core::DeviceList list, const std::string& text) override;
  void ListDelete(core::DeviceList list, int index) override;
  int ListCount(core::DeviceList list) const override;
  std::string ListItem(core::DeviceList list, int index) const override;
  void ListSetSelected(core::DeviceList list, int index) override;
  int ListSelected(core::DeviceList list) const override;

  int LogCount() const override;
  void LogDelete(int index) override;
  void LogAppend(const std::string& line) override;
  void LogClear() override;
  std::string LogLine(int index) const override;
  void LogSetSelected(int index) override;
  int LogSelected() const override;

  void SetStatusText(int panel, const std::string& text) override;
  std::string StatusText(int panel) const override;

  core::Cursor ScreenCursor() const override { return cursor_; }
  void SetScreenCursor(core::Cursor cursor) override;
  void SetLampHint(core::Lamp lamp, const std::string& text) override;

  void ProcessMessages() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls(QWidget* client);
  void buildMenu();
  void runFormCreate();
  // The log changes with every message; the list shows it at most every kLogPaintInterval.
  void logChanged();
  void showLog();
  QComboBox* combo(core::DeviceList list) const;

  ErrorReport errors_;
  std::unique_ptr<PumpHooks> pumpHooks_;

  // Children of the window, which owns them.
  std::array<TShape*, 3> shapes_{};
  std::array<QComboBox*, 3> lists_{};
  std::array<TApdStatusLight*, core::kLampCount> lamps_{};
  std::array<QTimer*, 2> timers_{};
  std::array<std::function<void()>, 2> timerHandlers_;
  core::LogLines log_;  // what the log holds; lstLog_ shows it
  QListWidget* lstLog_ = nullptr;
  QTimer* logPaint_ = nullptr;  // single shot: the moment lstLog_ next shows log_
  std::array<QLabel*, 2> statusPanels_{};

  core::Cursor cursor_ = core::Cursor::Default;
  bool shown_ = false;
  bool formCreated_ = false;
  bool formClosed_ = false;
  std::function<void()> onFormCreated_;

  // Last, so that it goes first: its destructor still reaches the controls.
  std::unique_ptr<TfmMain> form_;
};

}  // namespace velmora::ui::qt
