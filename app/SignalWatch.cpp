#include "app/SignalWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace velmora::app {

SignalWatch::SignalWatch() {
  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGTERM);
  sigaddset(&watched, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &watched, &saved_);
  signals_ = signalfd(-1, &watched, SFD_CLOEXEC);
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (signals_ < 0 || stop_ < 0) {
    const int error = errno;
    if (signals_ >= 0) close(signals_);
    if (stop_ >= 0) close(stop_);
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    throw std::system_error(error, std::generic_category(), "signalfd");
  }
}

SignalWatch::~SignalWatch() {
  // 1. Wake the watch with the eventfd; 2. join it; 3. only then close what it polls.
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(stop_, &one, sizeof one);
    thread_.join();
  }
  close(signals_);
  close(stop_);
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void SignalWatch::Start(std::function<void(int)> onSignal) {
  onSignal_ = std::move(onSignal);
  thread_ = std::thread([this] { watch(); });
}

void SignalWatch::watch() {
  pollfd fds[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
  while (true) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    if (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      try {
        onSignal_(static_cast<int>(info.ssi_signo));
      } catch (...) {
      }
    }
  }
}

}  // namespace velmora::app
