#pragma once

#include <cstdint>

namespace velmora::platform::midi {

// How long a real-time callback (JACK's process callback) ran, over the cycles since its
// figures were last reset.
inline constexpr std::uint64_t kProcessBudgetNs = 50'000;  // what one run may take
struct ProcessTimes {
  std::uint64_t longestNs = 0;
  std::uint64_t overBudget = 0;  // runs longer than kProcessBudgetNs
  std::uint64_t cycles = 0;
};

}  // namespace velmora::platform::midi
