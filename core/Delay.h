#pragma once

#include <cstdint>

#include "platform/Clock.h"

namespace velmora::core {

// Returns only after more than `milliseconds` have passed on the clock's 32-bit tick count (a
// wrap of the count is harmless). With processMessages, waiting messages are handled meanwhile
// and the wait sleeps until a message arrives instead of spinning.
void Delay(std::uint32_t milliseconds, bool processMessages,
           const platform::Clock& clock = platform::Clock::system());

inline std::int32_t IfThen(bool condition, std::int32_t trueValue, std::int32_t falseValue) {
  return condition ? trueValue : falseValue;
}

}  // namespace velmora::core
