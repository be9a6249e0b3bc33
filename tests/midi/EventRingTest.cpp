#include <gtest/gtest.h>

#include <thread>

#include "midi/EventRing.h"

using velmora::midi::RingCreate;
using velmora::midi::RingDrop;
using velmora::midi::RingFree;
using velmora::midi::RingPeek;
using velmora::midi::RingPut;
using velmora::midi::TRingItem;

namespace {
TRingItem Item(std::uint32_t n) {
  return TRingItem{n, n * 3 + 1, nullptr};
}
}  // namespace

TEST(EventRing, AcceptsExactlyCapacityThenOneMoreAfterADrop) {
  auto ring = RingCreate(5);
  ASSERT_TRUE(ring);
  for (std::uint32_t i = 0; i < 5; ++i) EXPECT_TRUE(RingPut(*ring, Item(i))) << i;
  EXPECT_FALSE(RingPut(*ring, Item(99)));
  EXPECT_EQ(ring->Count.load(), 5);
  EXPECT_TRUE(RingDrop(*ring));
  EXPECT_TRUE(RingPut(*ring, Item(5)));
  EXPECT_FALSE(RingPut(*ring, Item(100)));
  // The refused items never took a slot: 1..5 come out.
  for (std::uint32_t i = 1; i <= 5; ++i) {
    TRingItem item;
    ASSERT_TRUE(RingPeek(*ring, item));
    EXPECT_EQ(item.Timestamp, i);
    EXPECT_EQ(item.ShortMessage, i * 3 + 1);
    EXPECT_TRUE(RingDrop(*ring));
  }
}

TEST(EventRing, FullCycleReturnsBothIndicesToFirst) {
  auto ring = RingCreate(4);
  ASSERT_TRUE(ring);
  for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(RingPut(*ring, Item(i)));
  for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(RingDrop(*ring));
  EXPECT_EQ(ring->NextPut, ring->First);
  EXPECT_EQ(ring->NextGet, ring->First);
  EXPECT_EQ(ring->Count.load(), 0);
  EXPECT_EQ(ring->Limit, ring->First + 4);
}

TEST(EventRing, KeepsOrderAcrossManyWraps) {
  auto ring = RingCreate(3);
  ASSERT_TRUE(ring);
  std::uint32_t next = 0;
  std::uint32_t expected = 0;
  for (int round = 0; round < 20; ++round) {
    while (RingPut(*ring, Item(next))) ++next;
    TRingItem item;
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(RingPeek(*ring, item));
      EXPECT_EQ(item.Timestamp, expected++);
      RingDrop(*ring);
    }
  }
}

TEST(EventRing, PeekDoesNotRemoveAndEmptyRingChangesNothing) {
  auto ring = RingCreate(2);
  ASSERT_TRUE(ring);
  TRingItem item{7, 7, nullptr};
  EXPECT_FALSE(RingPeek(*ring, item));
  EXPECT_EQ(item.Timestamp, 7u);  // untouched
  EXPECT_FALSE(RingDrop(*ring));
  EXPECT_EQ(ring->NextGet, ring->First);
  EXPECT_EQ(ring->Count.load(), 0);

  ASSERT_TRUE(RingPut(*ring, Item(42)));
  TRingItem first;
  TRingItem second;
  ASSERT_TRUE(RingPeek(*ring, first));
  ASSERT_TRUE(RingPeek(*ring, second));
  EXPECT_EQ(first.Timestamp, 42u);
  EXPECT_EQ(second.Timestamp, 42u);
  EXPECT_EQ(ring->Count.load(), 1);
}

TEST(EventRing, CapacityZeroIsRefusedAndLargeCapacitiesWork) {
  EXPECT_EQ(RingCreate(0), nullptr);
  auto ring = RingCreate(65535);  // beyond the original 5461-item limit
  ASSERT_TRUE(ring);
  for (std::uint32_t i = 0; i < 65535; ++i) ASSERT_TRUE(RingPut(*ring, Item(i)));
  EXPECT_FALSE(RingPut(*ring, Item(0)));
  EXPECT_EQ(ring->Count.load(), 65535);
  RingFree(ring);
  EXPECT_EQ(ring, nullptr);
  RingFree(ring);  // a null ring does nothing
}

TEST(EventRing, TwoThreadsPassAMillionItemsInOrderWithoutLossOrDuplicate) {
  constexpr std::uint32_t kItems = 1'000'000;
  auto ring = RingCreate(64);
  ASSERT_TRUE(ring);
  std::thread producer([&] {
    for (std::uint32_t i = 0; i < kItems;) {
      if (RingPut(*ring, Item(i))) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::uint32_t received = 0;
  std::uint32_t outOfOrder = 0;
  std::uint32_t corrupted = 0;
  while (received < kItems) {
    TRingItem item;
    if (!RingPeek(*ring, item)) {
      std::this_thread::yield();
      continue;
    }
    if (item.Timestamp != received) ++outOfOrder;
    if (item.ShortMessage != item.Timestamp * 3 + 1) ++corrupted;
    ASSERT_TRUE(RingDrop(*ring));
    ++received;
  }
  producer.join();
  EXPECT_EQ(outOfOrder, 0u);
  EXPECT_EQ(corrupted, 0u);
  EXPECT_EQ(ring->Count.load(), 0);
  TRingItem extra;
  EXPECT_FALSE(RingPeek(*ring, extra));
}
