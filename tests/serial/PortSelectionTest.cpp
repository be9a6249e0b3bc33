// The port selection list on pseudo-terminals placed in a name space of the test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/serial/PosixSerialDevice.h"
#include "platform/serial/SerialNames.h"
#include "serial/PortSelection.h"
#include "support/OpenCounter.h"
#include "support/PtyPair.h"

namespace velmora::serial {
namespace {

namespace fs = std::filesystem;
using testing::PtyPair;
using testing::TempDir;

// COM1 and COM2 are pseudo-terminals; another program holds COM2.
class SelComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(free.valid() && held.valid());
    fs::create_directories(dir.path() / "dev");
    fs::create_directories(dir.path() / "sys");
    fs::create_symlink(free.slavePath(), dir.path() / "dev/ttyV0");
    fs::create_symlink(held.slavePath(), dir.path() / "dev/ttyV1");
    ASSERT_EQ(holder.Open(held.slavePath()), 0);
  }
  void TearDown() override {
    DialogCountsPortsInUse = true;
    DialogProbeWithDispatcher = true;
  }
  platform::SerialNameSpace names() const {
    return platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"});
  }

  PtyPair free, held;
  TempDir dir;
  platform::PosixSerialDevice holder;
};

TEST_F(SelComTest, OpenAndHeldPortsAreAvailableMissingOnesAreNot) {
  for (const bool withDispatcher : {true, false}) {
    SCOPED_TRACE(withDispatcher ? "dispatcher probe" : "direct probe");
    DialogProbeWithDispatcher = withDispatcher;
    DialogCountsPortsInUse = true;
    EXPECT_FALSE(PortIsAvailable(0, names()));
    EXPECT_TRUE(PortIsAvailable(1, names()));
    EXPECT_TRUE(PortIsAvailable(2, names()));
    EXPECT_FALSE(PortIsAvailable(3, names()));
    DialogCountsPortsInUse = false;
    EXPECT_TRUE(PortIsAvailable(1, names()));
    EXPECT_FALSE(PortIsAvailable(2, names()));
  }
}

TEST_F(SelComTest, WhenBusyPortsCountNoPortIsOpenedToListIt) {
  testing::OpenCounter opens(free.slavePath());
  ASSERT_TRUE(opens.valid());
  EXPECT_EQ(TComSelectList(names()).Entries().size(), 2u);
  EXPECT_EQ(opens.Take(), 0u);
}

TEST_F(SelComTest, TheProbeLeavesThePortFree) {
  ASSERT_TRUE(PortIsAvailable(1, names()));
  platform::PosixSerialDevice device;
  EXPECT_EQ(device.Open(free.slavePath()), 0);
}

TEST_F(SelComTest, TheListNamesEachAvailablePortInOrderAndSelectsTheFirst) {
  const TComSelectList list(names());
  ASSERT_EQ(list.Entries().size(), 2u);
  EXPECT_EQ(list.Entries()[0], "COM1 (" + (dir.path() / "dev/ttyV0").string() + ")");
  EXPECT_EQ(list.ItemIndex(), 0);
  EXPECT_EQ(list.SelectedComNumber(), 1);
  TComSelectList chosen = list;
  chosen.SetItemIndex(1);
  EXPECT_EQ(chosen.SelectedComNumber(), 2);
}

TEST(SelComEmpty, NothingListedSelectsNothing) {
  TempDir dir;
  fs::create_directories(dir.path() / "dev");
  const TComSelectList list(platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
  EXPECT_TRUE(list.Entries().empty());
  EXPECT_EQ(list.ItemIndex(), -1);
  EXPECT_EQ(list.SelectedComNumber(), 0);
}

}  // namespace
}  // namespace velmora::serial
