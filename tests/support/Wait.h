#pragma once

// Waiting for a condition that another thread makes true. Every wait has a generous bound, so
// that a slow build (a sanitizer) is not taken for a fault, and a real fault still ends the test.

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/MessagePump.h"

namespace velmora::testing {

inline constexpr std::chrono::milliseconds kWaitBound = std::chrono::seconds(20);

// Handles the UI thread's messages until `done` holds; false after `bound`. One message at a
// time, so that the caller sees the state right after the message it waited for.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = kWaitBound) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // Another thread may make `done` true without posting: look again soon.
    if (!pump.processOneMessage())
      pump.waitMessage(std::min(deadline, now + std::chrono::milliseconds(2)));
  }
  return true;
}

// Waits until `done` holds without handling messages (the UI thread stays stalled); false
// after `bound`.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds bound = kWaitBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Pacing: a condition of another thread's making gives nothing to block on.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Handles messages for `time`: a short window in which to see that nothing more happens.
inline void PumpFor(std::chrono::milliseconds time) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + time;
  while (std::chrono::steady_clock::now() < deadline) {
    pump.waitMessage(deadline);
    pump.processMessages();
  }
}

// Handles every message that waits now and those they lead to.
inline void PumpPending() {
  auto& pump = platform::MessagePump::current();
  while (pump.processOneMessage()) {
  }
}

}  // namespace velmora::testing
