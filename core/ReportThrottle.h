#pragma once

#include <chrono>
#include <exception>
#include <map>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace velmora::core {

// Decides which error reports reach the user: a message is shown once, then counted while its
// report is open and for a quiet time after it closed, so that a stream of identical errors
// (one per received byte, say) does not bury the window under dialogs. One thread only.
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

// What an exception that left a handler says to the user.
std::string MessageOf(std::exception_ptr error);

}  // namespace velmora::core
