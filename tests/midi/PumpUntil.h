#pragma once

#include <chrono>

#include "platform/MessagePump.h"

namespace velmora::test {

// Handles the UI thread's messages until `done` holds; false after a generous bound.
template <typename Done>
bool PumpUntil(Done done, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pump.processMessages();
    pump.waitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
  }
  return true;
}

// Handles every message that waits now and those they lead to.
inline void PumpPending() {
  auto& pump = platform::MessagePump::current();
  while (pump.processOneMessage()) {
  }
}

}  // namespace velmora::test
