#pragma once

// One stream of numbered messages through one path: when each left, when it arrived, how many
// arrived and whether in order. The number travels in the message itself (channel and both data
// bytes of a Note On: 18 bits), so that each arrival finds its own departure.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::bench {

using SteadyClock = std::chrono::steady_clock;

inline constexpr std::uint32_t kSeqBits = 18;
inline constexpr std::uint32_t kSeqMask = (1u << kSeqBits) - 1;

// Note On of channel seq[17:14], key seq[13:7], velocity seq[6:0].
inline std::uint32_t PackedOf(std::uint32_t seq) {
  seq &= kSeqMask;
  return (0x90u | (seq >> 14)) | (((seq >> 7) & 0x7F) << 8) | ((seq & 0x7F) << 16);
}
inline void BytesOf(std::uint32_t seq, std::uint8_t* bytes) {
  const std::uint32_t packed = PackedOf(seq);
  bytes[0] = static_cast<std::uint8_t>(packed);
  bytes[1] = static_cast<std::uint8_t>(packed >> 8);
  bytes[2] = static_cast<std::uint8_t>(packed >> 16);
}
inline std::uint32_t SeqOf(std::uint32_t packed) {
  return ((packed & 0x0F) << 14) | (((packed >> 8) & 0x7F) << 7) | ((packed >> 16) & 0x7F);
}

class Stream {
 public:
  // Keeps the times of the first `timed` messages (at most 2^18). Only while the stream is
  // quiet.
  void Reset(std::size_t timed);

  // The departure of message `seq`; one thread at a time.
  void Left(std::uint32_t seq, SteadyClock::time_point at);
  // An arrival; one thread at a time.
  void Arrived(std::uint32_t packed, SteadyClock::time_point at);

  std::uint64_t Received() const { return received_.load(std::memory_order_acquire); }
  // The longest time between two successive arrivals since the reset, in microseconds.
  double LargestGapUs() const {
    return static_cast<double>(largestGap_.load(std::memory_order_acquire)) / 1000.0;
  }
  bool InOrder() const { return !disorder_.load(std::memory_order_acquire); }
  // Latencies in microseconds of the timed messages that arrived; `lost` counts the others.
  // `early`: an arrival before its departure's stamp counts (negative), as when a path sends
  // ahead of the time a message stands for.
  std::vector<double> LatenciesUs(std::size_t& lost, bool early = false) const;

 private:
  static std::int64_t Ns(SteadyClock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  }

  std::size_t timed_ = 0;
  std::unique_ptr<std::atomic<std::int64_t>[]> left_;
  std::unique_ptr<std::atomic<std::int64_t>[]> arrived_;
  // Written by the arriving thread only.
  std::uint32_t expected_ = 0;
  std::int64_t lastArrival_ = 0;
  std::atomic<std::int64_t> largestGap_{0};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<bool> disorder_{false};
};

}  // namespace velmora::bench
