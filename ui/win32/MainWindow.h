#pragma once

// The main window (fmMain) in plain Win32: its controls are the window surface that the bridge
// and TfmMain's handlers drive. It ties the UI thread's message pump to the Win32 message loop
// while it exists and reports the errors that leave a handler. UI thread only.

#include "ui/win32/Win32Api.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/WindowSurface.h"
#include "ui/MainWindowHandlers.h"
#include "ui/win32/Controls.h"
#include "ui/win32/ErrorReport.h"
#include "ui/win32/PumpWaker.h"

namespace velmora::ui::win32 {

class MainWindow final : public core::WindowSurface {
 public:
  static constexpr int kClientWidth = 377;
  static constexpr int kClientHeight = 341;
  static constexpr UINT kTimerInterval = 100;    // ms
  static constexpr UINT kLogPaintInterval = 40;  // ms: the log is painted 25 times a second at most

  explicit MainWindow(core::Bridge& bridge,
                      const platform::Clock& clock = platform::Clock::system());
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND Handle() const { return window_; }
  TfmMain& Form() { return *form_; }
  ErrorReport& Errors() { return errors_; }
  // Shows the window centred on the screen; FormCreate follows from the message loop.
  void Show(int how);
  bool FormCreated() const { return formCreated_; }
  void SetOnFormCreated(std::function<void()> handler) { onFormCreated_ = std::move(handler); }
  // Before the devices go, when the window closes; the window's place is then still known.
  void SetOnClosing(std::function<void()> handler) { onClosing_ = std::move(handler); }
  void ShowAboutBox();

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

  void ProcessMessages() override;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void command(WORD id, WORD code);
  void buildControls();
  void buildMenu();
  HWND addLabel(const char* text, int left, int top);
  HWND addControl(const wchar_t* type, const wchar_t* text, DWORD style, int id, int left, int top,
                  int width, int height, HFONT font = nullptr);
  void runFormCreate();
  void close();
  void logChanged();
  HWND combo(core::DeviceList list) const;

  ErrorReport errors_;
  PumpWaker waker_;
  Font formFont_{L"Arial", 11};
  Font logFont_{L"Courier New", 9};
  HWND window_ = nullptr;
  HMENU menu_ = nullptr;  // the window's; destroyed with it

  // Controls: their windows are children of window_, destroyed with it.
  std::array<std::unique_ptr<ShapeBox>, 3> shapes_;
  std::array<HWND, 3> lists_{};
  std::array<std::unique_ptr<LampBox>, 4> lamps_;
  std::array<std::unique_ptr<LampBox>, 2> errorLamps_;  // never lit: nothing reports to them
  std::array<bool, 2> timersOn_{};
  std::array<std::function<void()>, 2> timerHandlers_;
  HWND lstLog_ = nullptr;
  bool logPaintPending_ = false;  // the paint timer runs
  bool logFrozen_ = false;        // the log's redraw is off until the paint timer
  HWND status_ = nullptr;
  std::array<std::string, 2> statusTexts_;

  core::Cursor cursor_ = core::Cursor::Default;
  bool formCreated_ = false;
  bool formClosed_ = false;
  std::function<void()> onFormCreated_;
  std::function<void()> onClosing_;

  // Last, so that it goes first: its destructor still reaches the controls.
  std::unique_ptr<TfmMain> form_;
};

}  // namespace velmora::ui::win32
