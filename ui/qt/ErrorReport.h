#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace velmora::ui::qt {

// Decides which error reports reach the user: a message is shown once, then counted while its
// report is open and for a quiet time after it closed, so that a stream of identical errors
// (one per received byte, say) does not bury the window under dialogs. UI thread only.
class ReportThrottle {
 public:
  static constexpr std::chrono::seconds kQuietTime{2};

  explicit ReportThrottle(const platform::Clock& clock = platform::Clock::system())
      : clock_(clock) {}

  // True when the report is to be shown now; Closed() must follow when it closes.
  bool Admit(const std::string& message);
  void Closed(const std::string& message);
  // Repeats counted since the message was last shown.
  int Repeats(const std::string& message) const;

 private:
  struct Entry {
    bool open = false;
    std::optional<platform::Clock::time_point> closedAt;
    int repeats = 0;
  };
  void forgetQuiet(platform::Clock::time_point now);

  const platform::Clock& clock_;
  std::map<std::string, Entry> entries_;
};

// The default error report: the message of an exception that left a handler, in a modal box.
// UI thread only.
class ErrorReport {
 public:
  // Shows one message and returns when the user closed it.
  using Show = std::function<void(const std::string& message)>;

  explicit ErrorReport(const platform::Clock& clock = platform::Clock::system());

  void SetShow(Show show) { show_ = std::move(show); }
  void Report(std::exception_ptr error);
  void Report(const std::string& message);

  // Runs a handler; what it raises is reported instead of passed on.
  template <typename Handler>
  void Guard(Handler&& handler) {
    try {
      handler();
    } catch (...) {
      Report(std::current_exception());
    }
  }

  int ShownCount() const { return shown_; }
  const ReportThrottle& Throttle() const { return throttle_; }

  static std::string MessageOf(std::exception_ptr error);
  static void ShowMessageBox(const std::string& message);

 private:
  ReportThrottle throttle_;
  Show show_;
  int shown_ = 0;
};

}  // namespace velmora::ui::qt
