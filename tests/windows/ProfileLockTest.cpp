// The profile's lock on Windows: named objects, which a second lock of the same process meets
// as another start would. The profile's name is the test process's, so that runs never meet.

#include <gtest/gtest.h>

#include <optional>
#include <string>

// <windows.h> defines names that the project's headers declare: they come first.
// clang-format off
#include "core/ProfileLock.h"
#include <windows.h>
// clang-format on

using velmora::core::ProfileLock;

TEST(ProfileLock, HeldOnceAcrossTheCasesOfItsNameAndFreeOnceItsHolderGoes) {
  const std::string name = "lock-test-" + std::to_string(GetCurrentProcessId());
  const long pid = static_cast<long>(GetCurrentProcessId());
  std::optional<ProfileLock> first(std::in_place, name, "");
  ASSERT_EQ(first->state(), ProfileLock::State::Held) << first->Problem();
  {
    // One settings file on Windows, so one profile.
    ProfileLock second("LOCK-TEST-" + std::to_string(GetCurrentProcessId()), "");
    EXPECT_EQ(second.state(), ProfileLock::State::HeldElsewhere);
    EXPECT_EQ(second.Holder(), pid);
  }
  EXPECT_EQ(ProfileLock(name + "-other", "").state(), ProfileLock::State::Held);
  first.reset();
  EXPECT_EQ(ProfileLock(name, "").state(), ProfileLock::State::Held);
}
