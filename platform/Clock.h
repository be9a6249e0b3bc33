#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace velmora::platform {

// The one source of time for the bridge and the serial layer. Production code uses
// Clock::system(); tests hand a ManualClock to whatever they drive, so that tick wraps and
// 55 ms timers are exercised without sleeping.
class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual time_point now() const = 0;

  // Milliseconds as a wrapping 32-bit count, like a system tick counter.
  std::uint32_t tickCount() const;

  static const Clock& system();
};

// A clock that moves only when told to. Safe to read and advance from any thread.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::chrono::milliseconds start = std::chrono::milliseconds{0});
  time_point now() const override;
  void set(std::chrono::nanoseconds sinceEpoch);
  void advance(std::chrono::nanoseconds by);

 private:
  std::atomic<std::int64_t> nanoseconds_;
};

// The wall-clock time `when` in the local time zone (thread-safe on every platform).
std::tm LocalTime(std::time_t when);

}  // namespace velmora::platform
