#include <windows.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "app/SignalWatch.h"

namespace velmora::app {

namespace detail {

struct ConsoleControl {
  HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: a control event
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);      // the destructor began
  HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the close path has run
  std::atomic<int> signal{0};

  ConsoleControl() {
    if (!arrived || !stop || !finished) {
      const DWORD error = GetLastError();
      close();
      throw std::system_error(static_cast<int>(error), std::system_category(),
                              "impossible de suivre Ctrl+C (CreateEvent)");
    }
  }
  ~ConsoleControl() { close(); }
  ConsoleControl(const ConsoleControl&) = delete;
  ConsoleControl& operator=(const ConsoleControl&) = delete;

 private:
  void close() {
    for (HANDLE handle : {arrived, stop, finished}) {
      if (handle) CloseHandle(handle);
    }
  }
};

}  // namespace detail

using detail::ConsoleControl;

namespace {

// The console's control handler takes no context, so the process's one watch is found here.
// The mutex guards the pointer; the handler's thread keeps its own reference while it waits.
struct ActiveWatch {
  std::mutex mutex;
  std::shared_ptr<ConsoleControl> console;
};

ActiveWatch& active() {
  static ActiveWatch watch;
  return watch;
}

BOOL WINAPI onControl(DWORD type) {
  std::shared_ptr<ConsoleControl> console;
  {
    std::lock_guard lock(active().mutex);
    console = active().console;
  }
  if (!console) return FALSE;
  const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
  console->signal.store(interrupt ? SIGINT : SIGTERM);
  SetEvent(console->arrived);
  // The system ends the process as soon as this returns from a close, log-off or shut-down.
  if (!interrupt) WaitForSingleObject(console->finished, INFINITE);
  return TRUE;
}

}  // namespace

SignalWatch::SignalWatch() : console_(std::make_shared<ConsoleControl>()) {
  {
    std::lock_guard lock(active().mutex);
    active().console = console_;
  }
  if (!SetConsoleCtrlHandler(onControl, TRUE)) {
    const DWORD error = GetLastError();
    std::lock_guard lock(active().mutex);
    active().console.reset();
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "impossible de suivre Ctrl+C (SetConsoleCtrlHandler)");
  }
}

SignalWatch::~SignalWatch() {
  SetConsoleCtrlHandler(onControl, FALSE);
  {
    std::lock_guard lock(active().mutex);
    active().console.reset();
  }
  SetEvent(console_->stop);
  if (thread_.joinable()) thread_.join();
  SetEvent(console_->finished);
}

void SignalWatch::Start(std::function<void(int)> onSignal) {
  onSignal_ = std::move(onSignal);
  thread_ = std::thread([this] { watch(); });
}

void SignalWatch::watch() {
  const HANDLE handles[2] = {console_->arrived, console_->stop};
  while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
    const int signal = console_->signal.exchange(0);
    if (signal == 0) continue;
    try {
      onSignal_(signal);
    } catch (...) {
    }
  }
}

}  // namespace velmora::app
