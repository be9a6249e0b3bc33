#include "Stream.h"

namespace velmora::bench {

void Stream::Reset(std::size_t timed) {
  timed_ = std::min<std::size_t>(timed, kSeqMask + 1);
  left_ = std::make_unique<std::atomic<std::int64_t>[]>(timed_);
  arrived_ = std::make_unique<std::atomic<std::int64_t>[]>(timed_);
  for (std::size_t i = 0; i < timed_; ++i) {
    left_[i].store(0, std::memory_order_relaxed);
    arrived_[i].store(0, std::memory_order_relaxed);
  }
  expected_ = 0;
  lastArrival_ = 0;
  largestGap_.store(0, std::memory_order_relaxed);
  received_.store(0, std::memory_order_relaxed);
  disorder_.store(false, std::memory_order_release);
}

void Stream::Left(std::uint32_t seq, SteadyClock::time_point at) {
  if (seq < timed_) left_[seq].store(Ns(at), std::memory_order_release);
}

void Stream::Arrived(std::uint32_t packed, SteadyClock::time_point at) {
  const std::uint32_t seq = SeqOf(packed);
  if (seq != expected_) disorder_.store(true, std::memory_order_release);
  expected_ = (seq + 1) & kSeqMask;
  const std::int64_t now = Ns(at);
  if (lastArrival_ != 0 && now - lastArrival_ > largestGap_.load(std::memory_order_relaxed))
    largestGap_.store(now - lastArrival_, std::memory_order_release);
  lastArrival_ = now;
  if (seq < timed_ && received_.load(std::memory_order_relaxed) < timed_) {
    arrived_[seq].store(Ns(at), std::memory_order_release);
  }
  received_.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<double> Stream::LatenciesUs(std::size_t& lost, bool early) const {
  std::vector<double> result;
  result.reserve(timed_);
  lost = 0;
  for (std::size_t i = 0; i < timed_; ++i) {
    const std::int64_t left = left_[i].load(std::memory_order_acquire);
    const std::int64_t arrived = arrived_[i].load(std::memory_order_acquire);
    if (left == 0 || arrived == 0 || (arrived < left && !early)) {
      ++lost;
      continue;
    }
    result.push_back(static_cast<double>(arrived - left) / 1000.0);
  }
  return result;
}

}  // namespace velmora::bench
