#include "ui/qt/SignalCloser.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace velmora::ui::qt {

namespace {

// The write end of the pipe, for the signal handler; -1 while no SignalCloser exists. The
// only state a signal handler may reach.
volatile std::sig_atomic_t gSignalPipe = -1;
struct sigaction gSavedTerm {};
struct sigaction gSavedInt {};
struct sigaction gSavedUsr1 {};

void OnSignal(int signal) {
  const int saved = errno;
  const int fd = gSignalPipe;
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

SignalCloser::SignalCloser(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  if (gSignalPipe >= 0) throw std::logic_error("only one SignalCloser may exist");
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readSignals(); });
  gSignalPipe = pipe_[1];
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &gSavedTerm);
  sigaction(SIGINT, &action, &gSavedInt);
  sigaction(SIGUSR1, &action, &gSavedUsr1);
}

SignalCloser::~SignalCloser() {
  sigaction(SIGTERM, &gSavedTerm, nullptr);
  sigaction(SIGINT, &gSavedInt, nullptr);
  sigaction(SIGUSR1, &gSavedUsr1, nullptr);
  gSignalPipe = -1;
  notifier_.reset();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void SignalCloser::readSignals() {
  unsigned char byte = 0;
  while (::read(pipe_[0], &byte, 1) == 1) {
    if (onSignal_) onSignal_(byte);
  }
}

}  // namespace velmora::ui::qt
