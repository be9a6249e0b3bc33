#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "midi/DriverCallback.h"
#include "support/Wait.h"

namespace pm = velmora::platform::midi;
using velmora::midi::DriverCallback;
using velmora::midi::RingCreate;
using velmora::midi::RingDrop;
using velmora::midi::RingPeek;
using velmora::midi::TCallbackContext;
using velmora::midi::TEventRing;
using velmora::midi::TRingItem;
using velmora::platform::Message;
using velmora::platform::MessageWindow;
using velmora::platform::WM_USER;

namespace {

class DriverCallbackTest : public ::testing::Test {
 protected:
  DriverCallbackTest()
      : window_([this](const Message& m) {
          posted.push_back(m);
          return 0;
        }) {
    ring = RingCreate(4);
    context.Ring = ring.get();
    context.Window = window_.ref();
  }

  // Calls back from another thread, as the driver does, and collects what was posted.
  void Notify(std::uint32_t message, std::uintptr_t p1, std::uintptr_t p2 = 0) {
    std::thread driver([&] {
      DriverCallback(nullptr, message, reinterpret_cast<std::uintptr_t>(&context), p1, p2);
    });
    driver.join();
    velmora::testing::PumpPending();
  }

  std::vector<TRingItem> Drain() {
    std::vector<TRingItem> items;
    TRingItem item;
    while (RingPeek(*ring, item)) {
      items.push_back(item);
      RingDrop(*ring);
    }
    return items;
  }

  std::unique_ptr<TEventRing> ring;
  TCallbackContext context;
  std::vector<Message> posted;

 private:
  MessageWindow window_;
};

TEST_F(DriverCallbackTest, ShortMessageIsQueuedWithItsTimestampAndPosted) {
  Notify(pm::MIM_DATA, 0x00403C90, 1234);
  auto items = Drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].ShortMessage, 0x00403C90u);
  EXPECT_EQ(items[0].Timestamp, 1234u);
  EXPECT_EQ(items[0].LongHeader, nullptr);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].id, pm::MIM_DATA);
  EXPECT_EQ(posted[0].wParam, 0u);
  EXPECT_EQ(posted[0].lParam, 0);
}

TEST_F(DriverCallbackTest, LoneActiveSensingAndClockNeverReachTheRing) {
  for (bool sysexOnly : {false, true}) {
    context.SysexOnly = sysexOnly;
    Notify(pm::MIM_DATA, 0xFE);
    Notify(pm::MIM_DATA, 0xF8);
    Notify(pm::MIM_LONGDATA, 0xFE);
  }
  EXPECT_TRUE(Drain().empty());
  EXPECT_TRUE(posted.empty());
  // Only the lone byte is dropped: the same status with data in the upper bytes is kept.
  context.SysexOnly = false;
  Notify(pm::MIM_DATA, 0x000100FE);
  EXPECT_EQ(Drain().size(), 1u);
}

TEST_F(DriverCallbackTest, SysexOnlyDropsShortMessagesButQueuesLongOnes) {
  context.SysexOnly = true;
  Notify(pm::MIM_DATA, 0x00403C90);
  EXPECT_TRUE(posted.empty());
  pm::MIDIHDR header;
  header.dwBytesRecorded = 12;
  Notify(pm::MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(&header), 77);
  Notify(pm::MIM_LONGERROR, reinterpret_cast<std::uintptr_t>(&header), 78);
  auto items = Drain();
  ASSERT_EQ(items.size(), 2u);
  for (const auto& item : items) {
    EXPECT_EQ(item.LongHeader, &header);
    EXPECT_EQ(item.ShortMessage, 0u);
  }
  EXPECT_EQ(items[1].Timestamp, 78u);
  EXPECT_EQ(posted.size(), 1u);  // the second found the ring already awake
}

// One wake when the ring was empty and one report per overflow episode, however many
// events came: the UI thread's queue never grows with the MIDI rate.
TEST_F(DriverCallbackTest, WakesOnlyAnEmptyRingAndReportsEachOverflowEpisodeOnce) {
  const auto count = [&](std::uint32_t id) {
    return std::count_if(posted.begin(), posted.end(),
                         [&](const Message& m) { return m.id == id; });
  };
  for (std::uint32_t i = 0; i < 7; ++i) Notify(pm::MIM_DATA, 0x90 + (i << 8));
  EXPECT_EQ(count(pm::MIM_DATA), 1);
  EXPECT_EQ(count(WM_USER), 1);
  EXPECT_EQ(context.Refused.exchange(0), 3u);  // the UI thread takes the count: episode over
  Notify(pm::MIM_DATA, 0x90);
  EXPECT_EQ(count(WM_USER), 2);
  EXPECT_EQ(context.Refused.load(), 1u);
  EXPECT_EQ(Drain().size(), 4u);
  Notify(pm::MIM_DATA, 0x90);
  EXPECT_EQ(count(pm::MIM_DATA), 2);
}

TEST_F(DriverCallbackTest, DoneIsForwardedWithItsHeaderEvenWithoutRing) {
  context.Ring = nullptr;
  pm::MIDIHDR header;
  Notify(pm::MOM_DONE, reinterpret_cast<std::uintptr_t>(&header));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].id, pm::MOM_DONE);
  EXPECT_EQ(posted[0].lParam, reinterpret_cast<std::intptr_t>(&header));
  // Input without a ring goes nowhere.
  Notify(pm::MIM_DATA, 0x00403C90);
  EXPECT_EQ(posted.size(), 1u);
}

TEST_F(DriverCallbackTest, OtherNotificationsAndMissingContextAreIgnored) {
  for (auto message :
       {pm::MIM_OPEN, pm::MIM_CLOSE, pm::MIM_MOREDATA, pm::MOM_OPEN, pm::MOM_CLOSE}) {
    Notify(message, 0x00403C90);
  }
  DriverCallback(nullptr, pm::MIM_DATA, 0, 0x00403C90, 0);
  DriverCallback(nullptr, pm::MOM_DONE, 0, 0x1000, 0);
  velmora::testing::PumpPending();
  EXPECT_TRUE(Drain().empty());
  EXPECT_TRUE(posted.empty());
}

}  // namespace
