#pragma once

// Ties the UI thread's message pump to the Win32 message loop: a post from any thread wakes
// the loop through a hidden window, which runs a pump pass even inside a modal loop (a dialog,
// a menu, a message box); the pump's passes dispatch the thread's window messages and its
// waits wait for them too. Create and destroy it on the UI thread; it installs the hooks for
// its lifetime.

#include "ui/win32/Win32Api.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace velmora::ui::win32 {

class PumpWaker {
 public:
  // Pump passes started by a wake message nest at most this deep; a wake past it is left to
  // the passes below, which handle what waits.
  static constexpr int kMaxNesting = 2;

  PumpWaker();
  ~PumpWaker();
  PumpWaker(const PumpWaker&) = delete;
  PumpWaker& operator=(const PumpWaker&) = delete;

  // Dialog navigation (Tab, Enter) for this top-level window's messages; null for none.
  void SetDialogWindow(HWND window) { dialogWindow_ = window; }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void wakeReceived();
  void dispatchWaiting();

  // Shared with the waker, which runs on any thread and may outlive this object.
  struct Target {
    std::mutex mutex;                    // guards `window` against the destructor
    HWND window = nullptr;               // null once the hooks are gone
    std::atomic<bool> scheduled{false};  // a wake message is on its way
    void schedule();
  };

  std::shared_ptr<Target> target_;
  HWND dialogWindow_ = nullptr;  // UI thread only
  int passDepth_ = 0;            // UI thread only
  bool missed_ = false;          // a wake arrived while too deep; UI thread only
};

}  // namespace velmora::ui::win32
