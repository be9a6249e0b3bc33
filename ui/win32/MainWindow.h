#pragma once

// The main window (fmMain) in plain Win32, a view of the bridge's window model: it draws the
// snapshots the bridge thread publishes (25 a second at most) and posts the user's actions to
// it. It never waits for the bridge. View thread (the one that creates it) only, except the
// wake-up, which the bridge thread calls.

#include "ui/win32/Win32Api.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/WindowSnapshot.h"
#include "ui/ViewLink.h"
#include "ui/win32/Controls.h"

namespace velmora::ui::win32 {

class MainWindow final {
 public:
  static constexpr int kClientWidth = 377;   // wider when the font's widest texts need it
  static constexpr int kClientHeight = 375;  // the form's 341, and two lines for the counters

  explicit MainWindow(ViewLink& link);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND Handle() const { return window_; }
  // Shows the window where it was left, if a screen is still there, else centred.
  void Show(int how);
  // The thread's message loop, until the window closes; returns the exit status.
  int Run();
  // Draws the newest snapshot now (the bridge's wake-up does it by itself).
  void ShowSnapshot();
  const core::WindowSnapshot& Shown() const { return shown_; }
  // Shows the about box modally; returns when it has been closed.
  void ShowAboutBox();

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void command(WORD id, WORD code, HWND control);
  void buildControls();
  void buildMenu();
  HWND addLabel(const char* text, int left, int top);
  HWND addControl(const wchar_t* type, const wchar_t* text, DWORD style, int id, int left, int top,
                  int width, int height, HFONT font = nullptr);
  void close();
  // The file the save box names; empty when cancelled.
  std::optional<std::string> chooseCaptureFile() const;
  void showLists(const core::WindowSnapshot& next);
  void showLog(const core::WindowSnapshot& next);
  void showCounts(const core::TrafficCounts& counts);
  void showStatus(const core::WindowSnapshot& next, bool first);
  // The log's tooltip: the whole line under the pointer.
  static LRESULT CALLBACK logProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR self);
  std::wstring logLineAt(POINT client) const;
  void showCursor(bool busy);
  void showNotices();
  POINT place() const;

  ViewLink& link_;
  core::WindowSnapshot shown_;           // what is on the screen
  std::atomic<bool> wakeQueued_{false};  // a draw message is queued: the bridge's wakes coalesce
  bool noticeOpen_ = false;              // a notice's box is open (its loop runs nested draws)
  std::vector<std::uint64_t> noticesShown_;  // shown and closed, not yet gone from snapshots
  std::optional<POINT> placedAt_;            // where Show put it: a move since is remembered
  bool closed_ = false;

  Font formFont_{L"Arial", 11};
  Font logFont_{L"Courier New", 9};
  HWND window_ = nullptr;
  HMENU menu_ = nullptr;  // the window's; destroyed with it

  // Controls: their windows are children of window_, destroyed with it.
  std::array<std::unique_ptr<ShapeBox>, 3> shapes_;
  std::array<HWND, 3> lists_{};
  std::array<std::unique_ptr<LampBox>, core::kLampCount> lamps_;
  HWND tips_ = nullptr;  // the lamps' tooltips
  HWND lstLog_ = nullptr;
  HWND logTip_ = nullptr;  // the log's tooltip
  int logTipItem_ = -1;    // the line it shows
  std::wstring logTipText_;
  int logExtent_ = 0;  // the widest line's width: the list scrolls that far
  HWND status_ = nullptr;
  std::array<HWND, 2> counts_{};  // serial to MIDI, MIDI to serial
  int clientWidth_ = kClientWidth;
  int lineWidth_ = 0;  // the status bar's panel for the line
  HACCEL accelerators_ = nullptr;
};

}  // namespace velmora::ui::win32
