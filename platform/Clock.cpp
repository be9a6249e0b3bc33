#include "platform/Clock.h"

namespace velmora::platform {

namespace {
class SystemClock final : public Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

std::uint32_t Clock::tickCount() const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms.count()));
}

const Clock& Clock::system() {
  static const SystemClock clock;
  return clock;
}

ManualClock::ManualClock(std::chrono::milliseconds start)
    : nanoseconds_(std::chrono::duration_cast<std::chrono::nanoseconds>(start).count()) {}

Clock::time_point ManualClock::now() const {
  return time_point{std::chrono::duration_cast<duration>(
      std::chrono::nanoseconds{nanoseconds_.load(std::memory_order_acquire)})};
}

void ManualClock::set(std::chrono::nanoseconds sinceEpoch) {
  nanoseconds_.store(sinceEpoch.count(), std::memory_order_release);
}

void ManualClock::advance(std::chrono::nanoseconds by) {
  nanoseconds_.fetch_add(by.count(), std::memory_order_acq_rel);
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}

}  // namespace velmora::platform
