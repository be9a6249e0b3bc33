#pragma once

#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace velmora::platform {

// A message to a hidden window: an id and two parameters, as window messages carry.
struct Message {
  std::uint32_t id = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_USER = 0x0400;

using MessageHandler = std::function<std::intptr_t(const Message&)>;

namespace detail {
struct PumpState;
struct WindowState;
}  // namespace detail

// A copyable reference to a message window, usable from any thread. Posting or sending to a
// window that has been destroyed does nothing.
class WindowRef {
 public:
  WindowRef() = default;

  // Queues the message; never blocks. False when the window is gone.
  bool post(std::uint32_t id, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) const;

  // Waits until the window's thread has handled the message, at most `timeout`. A message whose
  // time-out passed before its handling began is never handled (its parameters may point into
  // the sender's stack). Empty when timed out or the window is gone. On the window's own thread
  // the handler runs at once.
  std::optional<std::intptr_t> sendTimeout(std::uint32_t id, std::uintptr_t wParam,
                                           std::intptr_t lParam,
                                           std::chrono::milliseconds timeout) const;

  // Waits until handled, without a time-out (a thread's synchronize). Empty when the window was
  // destroyed before handling the message.
  std::optional<std::intptr_t> send(std::uint32_t id, std::uintptr_t wParam = 0,
                                    std::intptr_t lParam = 0) const;

  bool alive() const;

 private:
  friend class MessageWindow;
  explicit WindowRef(std::weak_ptr<detail::WindowState> state) : state_(std::move(state)) {}
  std::optional<std::intptr_t> deliver(const Message& message,
                                       std::optional<std::chrono::milliseconds> timeout) const;

  std::weak_ptr<detail::WindowState> state_;
};

// A hidden window: a handler registered with the message pump of the thread that creates it.
// Create, use and destroy it on that thread; hand out WindowRefs to other threads.
// Destroying it drops its waiting messages and releases every thread waiting in a send to it.
class MessageWindow {
 public:
  explicit MessageWindow(MessageHandler handler);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  WindowRef ref() const { return WindowRef{state_}; }
  bool post(std::uint32_t id, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) const {
    return ref().post(id, wParam, lParam);
  }

  // A repeating WM_TIMER message with wParam = id, generated when no other message waits.
  // Setting an existing id restarts it with the new interval. Below a millisecond it is kept
  // where the pump's own waits are (the toolkit's may round it up).
  void setTimer(std::uintptr_t id, std::chrono::steady_clock::duration interval);
  void killTimer(std::uintptr_t id);

 private:
  std::shared_ptr<detail::WindowState> state_;
};

// The message queue of one thread (the UI thread). Everything except posting and sending runs
// on that thread.
class MessagePump {
 public:
  // Ties the pump to a toolkit's own event loop (the Qt window installs these).
  struct ToolkitHooks {
    std::function<void()> wake;           // any thread: a message arrived, schedule the pump
    std::function<void()> processEvents;  // pump thread: let the toolkit handle its events
    std::function<void(std::chrono::milliseconds)> waitEvents;  // pump thread: wait for events
  };
  using ErrorReport = std::function<void(std::exception_ptr)>;

  // The pump of the calling thread, created on first use.
  static MessagePump& current();

  // Handles every message that waits now (messages posted meanwhile wait for the next pass),
  // after letting the toolkit process its events.
  void processMessages();
  // The same without the toolkit's pass: for a pass started from the toolkit's own loop,
  // which is handling its events already.
  void dispatchWaiting();
  // Handles one waiting message; false when none was waiting.
  bool processOneMessage();
  // Waits until a message waits, the deadline passes or quit is requested; true when one waits.
  bool waitMessage(std::chrono::steady_clock::time_point deadline);
  // Handles messages until quit() is called.
  void run();
  void quit();
  bool quitRequested() const;
  void resetQuit();

  void setToolkitHooks(ToolkitHooks hooks);
  // POSIX: while set, the pump's own waits (those without toolkit hooks) also watch `fd` and
  // call `onReady` on the pump thread whenever it is readable: a device's input is then taken
  // by the thread that handles it, with no thread between. -1 removes it. Nothing on Windows.
  void setReadyDescriptor(int fd, std::function<void()> onReady);
  // Receives exceptions that escape a message handler; without one they are written to stderr.
  void setErrorReport(ErrorReport report);
  void reportError(std::exception_ptr error) const;

  std::size_t waitingCount() const;
  bool onPumpThread() const;

  explicit MessagePump(std::shared_ptr<detail::PumpState> state) : state_(std::move(state)) {}

 private:
  // Waits for a wake-up or the ready descriptor until `until`, unlocked meanwhile, and calls
  // its handler when it is readable; false when nothing came.
  bool waitDescriptors(std::unique_lock<std::mutex>& lock,
                       std::chrono::steady_clock::time_point until);

  std::shared_ptr<detail::PumpState> state_;
};

// Held by an object whose operations belong to the thread that created it (the UI thread):
// debug builds stop at the entry of such an operation when another thread calls it.
class PumpThreadCheck {
 public:
  void operator()() const { assert(pump_.onPumpThread() && "called off the UI thread"); }

 private:
  MessagePump pump_ = MessagePump::current();
};

}  // namespace velmora::platform
