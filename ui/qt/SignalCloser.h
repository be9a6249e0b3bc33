#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace velmora::ui::qt {

// Turns SIGTERM and SIGINT into a call on the UI thread's event loop, so that the program ends
// through its normal close path; SIGUSR1 ("Tout arrêter") likewise. The signal handler only writes
// one byte to a pipe. One per process; it restores the former handlers when destroyed. UI thread
// only.
class SignalCloser final : public QObject {
 public:
  explicit SignalCloser(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~SignalCloser() override;
  SignalCloser(const SignalCloser&) = delete;
  SignalCloser& operator=(const SignalCloser&) = delete;

 private:
  void readSignals();

  std::function<void(int)> onSignal_;
  int pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace velmora::ui::qt
