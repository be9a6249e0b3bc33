#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <thread>

namespace velmora::app {

#ifdef _WIN32
namespace detail {
struct ConsoleControl;  // the events that the console's handler and the watch share
}
#endif

// SIGINT and SIGTERM as calls on a thread of its own, through a signalfd, so that the headless
// program ends through its normal close path; SIGUSR1 ("Tout arrêter") likewise. Create it before
// any other thread: they inherit the blocked signals, which only the signalfd then receives. One
// per process. On Windows the console's control events stand for them: Ctrl+C and Ctrl+Break as
// SIGINT; closing the console, logging off and shutting down as SIGTERM, for which the system waits
// until the watch is destroyed (the close path has run) before it ends the process.
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

#ifdef _WIN32
  std::shared_ptr<detail::ConsoleControl> console_;
#else
  sigset_t saved_{};
  int signals_ = -1;
  int stop_ = -1;  // eventfd: written by the destructor
#endif
  std::function<void(int)> onSignal_;
  std::thread thread_;
};

}  // namespace velmora::app
