#include "core/ReportThrottle.h"

#include <gtest/gtest.h>

namespace velmora::core {
namespace {

TEST(ReportThrottle, RepeatsAreCountedWhileOpenAndDuringTheQuietTime) {
  platform::ManualClock clock;
  ReportThrottle throttle(clock);
  EXPECT_TRUE(throttle.Admit("port lost"));
  EXPECT_FALSE(throttle.Admit("port lost")) << "the same message while its report is open";
  EXPECT_TRUE(throttle.Admit("other")) << "another message is shown";
  throttle.Closed("other");
  throttle.Closed("port lost");
  EXPECT_EQ(throttle.Repeats("port lost"), 1);

  clock.advance(std::chrono::milliseconds(1999));
  EXPECT_FALSE(throttle.Admit("port lost"));
  EXPECT_EQ(throttle.Repeats("port lost"), 2);
  clock.advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(throttle.Admit("port lost")) << "two seconds after it closed";
  EXPECT_EQ(throttle.Repeats("port lost"), 0);
  EXPECT_TRUE(throttle.Admit("other"));
}

TEST(ReportThrottle, WorksFromTheClocksFirstInstant) {
  platform::ManualClock clock;  // now() is the clock's epoch
  ReportThrottle throttle(clock);
  ASSERT_TRUE(throttle.Admit("x"));
  throttle.Closed("x");
  EXPECT_FALSE(throttle.Admit("x"));
}

}  // namespace
}  // namespace velmora::core
