#pragma once

// How long a real-time callback runs, kept without a lock, an allocation or a system call
// (CLOCK_MONOTONIC is read in the vDSO). The callback's thread times; any thread reads or
// resets, each figure on its own. POSIX only.

#include <time.h>

#include <atomic>
#include <cstdint>

#include "platform/midi/ProcessTimes.h"

namespace velmora::platform::midi {

class CallbackTimer {
 public:
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

  // Runs `callback` and counts its run.
  template <typename Callback>
  decltype(auto) Time(Callback&& callback) {
    const std::uint64_t start = Now();
    struct Count {
      CallbackTimer& timer;
      std::uint64_t start;
      ~Count() { timer.Add(Now() - start); }
    } count{*this, start};
    return callback();
  }

  ProcessTimes Times() const {
    return {longestNs_.load(std::memory_order_relaxed), overBudget_.load(std::memory_order_relaxed),
            cycles_.load(std::memory_order_relaxed)};
  }
  void Reset() {
    cycles_.store(0, std::memory_order_relaxed);
    overBudget_.store(0, std::memory_order_relaxed);
    longestNs_.store(0, std::memory_order_relaxed);
  }

 private:
  static std::uint64_t Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
  }
  void Add(std::uint64_t ns) {
    // Only the callback's thread raises the longest: a load and a store do.
    if (ns > longestNs_.load(std::memory_order_relaxed)) {
      longestNs_.store(ns, std::memory_order_relaxed);
    }
    if (ns > kProcessBudgetNs) overBudget_.fetch_add(1, std::memory_order_relaxed);
    cycles_.fetch_add(1, std::memory_order_relaxed);
  }

  std::atomic<std::uint64_t> longestNs_{0};
  std::atomic<std::uint64_t> overBudget_{0};
  std::atomic<std::uint64_t> cycles_{0};
};

}  // namespace velmora::platform::midi
