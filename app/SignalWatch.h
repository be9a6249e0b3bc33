#pragma once

#include <csignal>
#include <functional>
#include <thread>

namespace velmora::app {

// SIGINT and SIGTERM as calls on a thread of its own, through a signalfd, so that the headless
// program ends through its normal close path. Create it before any other thread: they inherit
// the blocked signals, which only the signalfd then receives. One per process.
class SignalWatch {
 public:
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // `onSignal` runs on the watch's thread, once per signal received.
  void Start(std::function<void(int signal)> onSignal);

 private:
  void watch();

  sigset_t saved_{};
  int signals_ = -1;
  int stop_ = -1;  // eventfd: written by the destructor
  std::function<void(int)> onSignal_;
  std::thread thread_;
};

}  // namespace velmora::app
