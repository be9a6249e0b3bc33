#include "platform/serial/ComListWatch.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/serial/SerialNames.h"

namespace velmora::platform {

namespace {
constexpr auto kLookEvery = std::chrono::seconds(1);
}

struct ComListWatch::State {
  explicit State(std::function<void()> callback) : changed(std::move(callback)) {}

  // Watch thread: looks until told to stop; never throws.
  void run() {
    std::string last = ComListStamp();
    std::unique_lock lock(mutex);
    for (;;) {
      if (wake.wait_for(lock, kLookEvery, [this] { return stopping; })) return;
      lock.unlock();
      std::string now = ComListStamp();
      if (now != last) {
        last = std::move(now);
        changed();
      }
      lock.lock();
    }
  }

  const std::function<void()> changed;
  std::mutex mutex;  // guards `stopping`, which the destructor sets and the thread waits on
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;  // owned here: started by the constructor, joined by the destructor
};

ComListWatch::ComListWatch(std::function<void()> changed)
    : state_(std::make_unique<State>(std::move(changed))) {
  state_->thread = std::thread([state = state_.get()] { state->run(); });
}

ComListWatch::~ComListWatch() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace velmora::platform
