#pragma once

// The error report of the Win32 window: the message of an exception that left a handler, in a
// modal message box. A message is shown once, then counted while its box is open and for a
// quiet time after it closed, so that a stream of identical errors (one per received byte, say)
// does not bury the window under boxes. UI thread only.

#include "ui/win32/Win32Api.h"

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace velmora::ui::win32 {

class ErrorReport {
 public:
  static constexpr std::chrono::seconds kQuietTime{2};
  // Shows one message and returns when the user closed it.
  using Show = std::function<void(const std::string& message)>;

  explicit ErrorReport(const platform::Clock& clock = platform::Clock::system());

  // The window that owns the boxes; null for none.
  void SetOwner(HWND owner) { owner_ = owner; }
  void SetShow(Show show) { show_ = std::move(show); }
  void Report(std::exception_ptr error);
  void Report(const std::string& message);

  // Runs a handler; what it raises is reported instead of passed on (never through Win32).
  template <typename Handler>
  void Guard(Handler&& handler) noexcept {
    try {
      handler();
    } catch (...) {
      try {
        Report(std::current_exception());
      } catch (...) {
      }
    }
  }

  int ShownCount() const { return shown_; }

 private:
  struct Entry {
    bool open = false;
    std::optional<platform::Clock::time_point> closedAt;
    int repeats = 0;
  };
  bool admit(const std::string& message);
  void closed(const std::string& message);

  const platform::Clock& clock_;
  std::map<std::string, Entry> entries_;
  Show show_;
  HWND owner_ = nullptr;
  int shown_ = 0;
};

}  // namespace velmora::ui::win32
