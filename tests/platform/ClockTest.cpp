#include <gtest/gtest.h>

#include "platform/Clock.h"

using namespace std::chrono_literals;
using velmora::platform::Clock;
using velmora::platform::ManualClock;

TEST(Clock, ManualClockTickCountWrapsAt32Bits) {
  ManualClock clock(std::chrono::milliseconds(0xFFFFFFF0ull));
  EXPECT_EQ(clock.tickCount(), 0xFFFFFFF0u);
  clock.advance(0x20ms);
  EXPECT_EQ(clock.tickCount(), 0x10u);
  EXPECT_EQ(clock.tickCount() - 0xFFFFFFF0u, 0x20u);
}

TEST(Clock, SystemClockMovesForward) {
  const auto a = Clock::system().now();
  const auto b = Clock::system().now();
  EXPECT_LE(a, b);
}
