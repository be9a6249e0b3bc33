#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "platform/midi/ByteRing.h"

namespace velmora::platform::midi {
namespace {

// Records of every length from 1 to 61 bytes, each a length byte then its bytes, pass from one
// thread to another through a ring far smaller than their sum: every wrap point is crossed,
// nothing is lost, torn or taken twice, and the writer never writes more than fits.
TEST(ByteRing, TwoThreadsPassRecordsOfEveryLengthWhole) {
  ByteRing ring(100);  // 128 bytes
  EXPECT_EQ(ring.WriteSpace(), 128u);
  constexpr int kRecords = 200000;
  const auto length = [](int n) { return static_cast<std::uint8_t>(1 + n % 61); };
  std::thread producer([&] {
    std::uint8_t record[64];
    for (int n = 0; n < kRecords;) {
      record[0] = length(n);
      for (int i = 1; i <= record[0]; ++i) record[i] = static_cast<std::uint8_t>(n + i);
      if (ring.WriteSpace() < 1u + record[0]) {
        std::this_thread::yield();
        continue;
      }
      ASSERT_EQ(ring.Write(record, 1u + record[0]), 1u + record[0]);
      ++n;
    }
  });
  std::uint8_t record[64];
  for (int n = 0; n < kRecords;) {
    std::uint8_t size = 0;
    if (ring.Peek(&size, 1) == 0 || ring.ReadSpace() < 1u + size) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(size, length(n));
    ring.ReadAdvance(1);
    ASSERT_EQ(ring.Read(record, size), size);
    for (int i = 1; i <= size; ++i) ASSERT_EQ(record[i - 1], static_cast<std::uint8_t>(n + i));
    ++n;
  }
  producer.join();
  EXPECT_EQ(ring.ReadSpace(), 0u);
  EXPECT_EQ(ring.Read(record, 1), 0u);
  // A write beyond the room takes what fits.
  const std::vector<std::uint8_t> big(200, 7);
  EXPECT_EQ(ring.Write(big.data(), big.size()), 128u);
}

}  // namespace
}  // namespace velmora::platform::midi
