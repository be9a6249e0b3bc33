#pragma once

#include <atomic>
#include <chrono>

#include "platform/Clock.h"

namespace velmora::test {

// A clock that moves by one step each time it is read, so that waits on it end after a known
// number of looks, without sleeping.
class SteppingClock final : public platform::Clock {
 public:
  explicit SteppingClock(std::chrono::milliseconds start = std::chrono::milliseconds{0},
                         std::chrono::milliseconds step = std::chrono::milliseconds{50})
      : ms_(start.count()), step_(step.count()) {}
  time_point now() const override {
    return time_point{std::chrono::milliseconds{ms_.fetch_add(step_)}};
  }

 private:
  mutable std::atomic<std::int64_t> ms_;
  std::int64_t step_;
};

}  // namespace velmora::test
