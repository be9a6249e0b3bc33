#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmora::platform {

// A Win32-style event: signalled or not. An auto-reset event lets one waiter through and
// resets itself; a manual-reset one stays signalled until reset. Any thread may use it.
class Event {
 public:
  enum class Reset { Auto, Manual };
  explicit Event(Reset mode = Reset::Auto, bool signalled = false)
      : manual_(mode == Reset::Manual), signalled_(signalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    if (manual_)
      changed_.notify_all();
    else
      changed_.notify_one();
  }

  void reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  // True when signalled within the time-out (an auto-reset event is then reset again).
  bool wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    if (!manual_) signalled_ = false;
    return true;
  }

  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
    if (!manual_) signalled_ = false;
  }

 private:
  const bool manual_;
  std::mutex mutex_;  // guards signalled_
  std::condition_variable changed_;
  bool signalled_;
};

}  // namespace velmora::platform
