#include "core/Delay.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/MessagePump.h"

namespace velmora::core {

void Delay(std::uint32_t milliseconds, bool processMessages, const platform::Clock& clock) {
  auto& pump = platform::MessagePump::current();
  const std::uint32_t start = clock.tickCount();
  for (;;) {
    if (processMessages) pump.processMessages();
    const std::uint32_t elapsed = clock.tickCount() - start;
    if (elapsed > milliseconds) return;
    // Never more than a few ms at once, so that a clock that is not the wall clock (a test's)
    // is looked at again soon.
    const auto wait =
        std::chrono::milliseconds(std::min<std::uint32_t>(milliseconds - elapsed + 1, 5));
    if (processMessages) {
      pump.waitMessage(std::chrono::steady_clock::now() + wait);
    } else {
      std::this_thread::sleep_for(wait);
    }
  }
}

}  // namespace velmora::core
