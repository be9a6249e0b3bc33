#include "platform/MessagePump.h"

#ifndef _WIN32
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace detail {

// One send waiting for its answer. Guarded by PumpState::mutex.
struct SendSlot {
  enum class State { Pending, Running, Done, Dropped };
  State state = State::Pending;
  std::intptr_t result = 0;
};

struct Entry {
  std::shared_ptr<WindowState> window;
  Message message;
  // Null for a post. A send's slot lives in its sender's frame, which waits until the entry
  // has left the queue: handled, dropped with its window, or taken back at its time-out.
  SendSlot* slot = nullptr;
};

// The queue of one pump: a ring whose storage stays, so that steady traffic allocates nothing.
class EntryQueue {
 public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  void push_back(Entry entry) {
    if (count_ == ring_.size()) grow();
    ring_[(head_ + count_) % ring_.size()] = std::move(entry);
    ++count_;
  }
  Entry take_front() {
    Entry entry = std::move(ring_[head_]);
    ring_[head_] = Entry{};  // the window's reference goes with the message
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return entry;
  }
  // Removes the entries for which `drop` holds, keeping the others in order.
  template <typename Drop>
  void erase_if(Drop drop) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      Entry& entry = ring_[(head_ + i) % ring_.size()];
      if (drop(entry)) {
        entry = Entry{};
        continue;
      }
      if (kept != i) std::swap(ring_[(head_ + kept) % ring_.size()], entry);
      ++kept;
    }
    count_ = kept;
  }

 private:
  void grow() {
    std::vector<Entry> larger(ring_.empty() ? 64 : ring_.size() * 2);
    for (std::size_t i = 0; i < count_; ++i)
      larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
    ring_ = std::move(larger);
    head_ = 0;
  }

  std::vector<Entry> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

struct Timer {
  std::shared_ptr<WindowState> window;
  std::uintptr_t id = 0;
  std::chrono::steady_clock::duration interval{0};
  std::chrono::steady_clock::time_point due;
};

struct PumpState {
  const std::thread::id owner = std::this_thread::get_id();

  // Guards every field below, each window's `alive` flag and every SendSlot.
  mutable std::mutex mutex;
  std::condition_variable arrived;   // the pump thread waits here for messages
  std::condition_variable answered;  // senders wait here for their slot to finish
  EntryQueue queue;
  std::vector<Timer> timers;
  bool quit = false;
  MessagePump::ToolkitHooks hooks;
  MessagePump::ErrorReport errorReport;
  // The descriptor that the pump's own waits watch besides its messages, and what to call when
  // it is readable; while one is set, every wake-up also rings `wakeFd`, which they watch too.
  int readyFd = -1;
  std::function<void()> onReady;
  int wakeFd = -1;  // made with the first watch, closed with the state

  PumpState() = default;
  PumpState(const PumpState&) = delete;
  PumpState& operator=(const PumpState&) = delete;
  ~PumpState() {
#ifndef _WIN32
    if (wakeFd >= 0) close(wakeFd);
#endif
  }

  void wake() {
    std::function<void()> waker;
    [[maybe_unused]] int ring = -1;  // rung only where descriptors are watched
    {
      std::lock_guard lock(mutex);
      waker = hooks.wake;
      // The pump's own thread looks at its queue before it waits again: a post of its own
      // needs no wake-up (and no system call).
      if (!waker && std::this_thread::get_id() == owner) return;
      if (readyFd >= 0) ring = wakeFd;
    }
    arrived.notify_all();
#ifndef _WIN32
    if (ring >= 0) {
      const std::uint64_t one = 1;
      static_cast<void>(!write(ring, &one, sizeof one));
    }
#endif
    if (waker) waker();
  }
};

struct WindowState {
  std::shared_ptr<PumpState> pump;
  MessageHandler handler;  // set at creation, called on the pump thread only
  bool alive = true;       // guarded by pump->mutex
};

std::shared_ptr<PumpState> currentPumpState() {
  thread_local const auto state = std::make_shared<PumpState>();
  return state;
}

}  // namespace detail

using detail::Entry;
using detail::PumpState;
using detail::SendSlot;
using detail::WindowState;

namespace {

// Takes the next message: queued ones first, then one due timer. Caller holds the lock.
std::optional<Entry> takeNextLocked(PumpState& pump) {
  while (!pump.queue.empty()) {
    Entry entry = pump.queue.take_front();
    if (!entry.window->alive) {
      if (entry.slot) entry.slot->state = SendSlot::State::Dropped;
      pump.answered.notify_all();
      continue;
    }
    if (entry.slot) entry.slot->state = SendSlot::State::Running;
    return entry;
  }
  const auto now = std::chrono::steady_clock::now();
  for (auto& timer : pump.timers) {
    if (timer.due <= now) {
      timer.due = now + timer.interval;
      return Entry{timer.window, Message{WM_TIMER, timer.id, 0}, nullptr};
    }
  }
  return std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> nextTimerDueLocked(const PumpState& pump) {
  std::optional<std::chrono::steady_clock::time_point> due;
  for (const auto& timer : pump.timers) {
    if (!due || timer.due < *due) due = timer.due;
  }
  return due;
}

void dispatch(const std::shared_ptr<PumpState>& state, Entry& entry) {
  auto& pump = *state;
  std::intptr_t result = 0;
  try {
    result = entry.window->handler(entry.message);
  } catch (...) {
    MessagePump(state).reportError(std::current_exception());
  }
  if (entry.slot) {
    std::lock_guard lock(pump.mutex);
    entry.slot->result = result;
    entry.slot->state = SendSlot::State::Done;
    pump.answered.notify_all();
  }
}

}  // namespace

// ---- WindowRef ----------------------------------------------------------------------------

bool WindowRef::post(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) const {
  auto window = state_.lock();
  if (!window) return false;
  auto& pump = *window->pump;
  {
    std::lock_guard lock(pump.mutex);
    if (!window->alive) return false;
    pump.queue.push_back(Entry{window, Message{id, wParam, lParam}, nullptr});
  }
  pump.wake();
  return true;
}

std::optional<std::intptr_t> WindowRef::sendTimeout(std::uint32_t id, std::uintptr_t wParam,
                                                    std::intptr_t lParam,
                                                    std::chrono::milliseconds timeout) const {
  return deliver(Message{id, wParam, lParam}, timeout);
}

std::optional<std::intptr_t> WindowRef::send(std::uint32_t id, std::uintptr_t wParam,
                                             std::intptr_t lParam) const {
  return deliver(Message{id, wParam, lParam}, std::nullopt);
}

bool WindowRef::alive() const {
  auto window = state_.lock();
  if (!window) return false;
  std::lock_guard lock(window->pump->mutex);
  return window->alive;
}

std::optional<std::intptr_t> WindowRef::deliver(
    const Message& message, std::optional<std::chrono::milliseconds> timeout) const {
  auto window = state_.lock();
  if (!window) return std::nullopt;
  auto& pump = *window->pump;

  if (std::this_thread::get_id() == pump.owner) {
    {
      std::lock_guard lock(pump.mutex);
      if (!window->alive) return std::nullopt;
    }
    std::intptr_t result = 0;
    try {
      result = window->handler(message);
    } catch (...) {
      MessagePump(window->pump).reportError(std::current_exception());
    }
    return result;
  }

  SendSlot slot;
  {
    std::lock_guard lock(pump.mutex);
    if (!window->alive) return std::nullopt;
    pump.queue.push_back(Entry{window, message, &slot});
  }
  pump.wake();

  std::unique_lock lock(pump.mutex);
  const auto finished = [&] {
    return slot.state == SendSlot::State::Done || slot.state == SendSlot::State::Dropped;
  };
  if (timeout) {
    if (!pump.answered.wait_for(lock, *timeout, finished)) {
      if (slot.state == SendSlot::State::Pending) {
        // Taken back before this frame, which the entry points into, goes.
        pump.queue.erase_if([&](const Entry& entry) { return entry.slot == &slot; });
        return std::nullopt;
      }
      // Already being handled: its parameters are in use, so wait for the end.
      pump.answered.wait(lock, finished);
    }
  } else {
    pump.answered.wait(lock, finished);
  }
  if (slot.state == SendSlot::State::Dropped) return std::nullopt;
  return slot.result;
}

// ---- MessageWindow ------------------------------------------------------------------------

MessageWindow::MessageWindow(MessageHandler handler) : state_(std::make_shared<WindowState>()) {
  // The window keeps its pump's state alive through this shared pointer.
  state_->pump = detail::currentPumpState();
  state_->handler = std::move(handler);
}

MessageWindow::~MessageWindow() {
  auto& pump = *state_->pump;
  std::lock_guard lock(pump.mutex);
  state_->alive = false;
  pump.queue.erase_if([&](Entry& entry) {
    if (entry.window != state_) return false;
    if (entry.slot && entry.slot->state == SendSlot::State::Pending)
      entry.slot->state = SendSlot::State::Dropped;
    return true;
  });
  std::erase_if(pump.timers, [&](const detail::Timer& timer) { return timer.window == state_; });
  pump.answered.notify_all();
}

void MessageWindow::setTimer(std::uintptr_t id, std::chrono::steady_clock::duration interval) {
  auto& pump = *state_->pump;
  bool wake = true;
  {
    std::lock_guard lock(pump.mutex);
    // On the pump's own thread, outside a toolkit's loop, no wait is under way: the next one
    // sees the timer. A timer reset at each pass costs no wake-up then.
    wake = pump.owner != std::this_thread::get_id() || pump.hooks.wake;
    const auto due = std::chrono::steady_clock::now() + interval;
    auto found = std::find_if(pump.timers.begin(), pump.timers.end(), [&](const auto& timer) {
      return timer.window == state_ && timer.id == id;
    });
    if (found != pump.timers.end()) {
      found->interval = interval;
      found->due = due;
    } else {
      pump.timers.push_back(detail::Timer{state_, id, interval, due});
    }
  }
  if (wake) pump.wake();
}

void MessageWindow::killTimer(std::uintptr_t id) {
  auto& pump = *state_->pump;
  std::lock_guard lock(pump.mutex);
  std::erase_if(pump.timers, [&](const detail::Timer& timer) {
    return timer.window == state_ && timer.id == id;
  });
}

// ---- MessagePump --------------------------------------------------------------------------

MessagePump& MessagePump::current() {
  thread_local MessagePump pump{detail::currentPumpState()};
  return pump;
}

void MessagePump::processMessages() {
  std::function<void()> processEvents;
  {
    std::lock_guard lock(state_->mutex);
    processEvents = state_->hooks.processEvents;
  }
  if (processEvents) processEvents();
  dispatchWaiting();
}

void MessagePump::dispatchWaiting() {
  std::size_t waiting = 0;
  {
    std::lock_guard lock(state_->mutex);
    waiting = state_->queue.size() + state_->timers.size();
  }
  // Only what waits now: handlers that post again must not keep this pass alive forever.
  for (std::size_t i = 0; i < std::max<std::size_t>(waiting, 1); ++i) {
    if (!processOneMessage()) break;
  }
}

bool MessagePump::processOneMessage() {
  std::optional<Entry> entry;
  {
    std::lock_guard lock(state_->mutex);
    entry = takeNextLocked(*state_);
  }
  if (!entry) return false;
  dispatch(state_, *entry);
  return true;
}

bool MessagePump::waitMessage(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  const auto ready = [&] {
    if (state_->quit || !state_->queue.empty()) return true;
    const auto due = nextTimerDueLocked(*state_);
    return due && *due <= std::chrono::steady_clock::now();
  };
  if (auto waitEvents = state_->hooks.waitEvents) {
    if (ready()) return !state_->quit;
    auto until = deadline;
    if (auto due = nextTimerDueLocked(*state_)) until = std::min(until, *due);
    lock.unlock();
    const auto now = std::chrono::steady_clock::now();
    if (until > now) {
      waitEvents(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
    lock.lock();
    return ready() && !state_->quit;
  }
  while (!ready()) {
    auto until = deadline;
    if (auto due = nextTimerDueLocked(*state_)) until = std::min(until, *due);
    if (state_->readyFd >= 0) {
      if (!waitDescriptors(lock, until) && std::chrono::steady_clock::now() >= deadline) {
        return ready() && !state_->quit;
      }
      continue;
    }
    if (state_->arrived.wait_until(lock, until) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      return ready() && !state_->quit;
    }
  }
  return !state_->quit;
}

bool MessagePump::waitDescriptors(std::unique_lock<std::mutex>& lock,
                                  std::chrono::steady_clock::time_point until) {
#ifdef _WIN32
  static_cast<void>(lock);
  static_cast<void>(until);
  return false;
#else
  pollfd watched[2] = {{state_->wakeFd, POLLIN, 0}, {state_->readyFd, POLLIN, 0}};
  const std::function<void()> onReady = state_->onReady;
  lock.unlock();
  // To the microsecond, as the condition variable's waits are: a timer below a millisecond
  // keeps its pace while a device is watched.
  const auto left = std::max<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now(),
                                                       std::chrono::nanoseconds{0});
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const timespec timeout{static_cast<time_t>(std::min<std::int64_t>(
                             seconds.count(), std::numeric_limits<time_t>::max() / 2)),
                         static_cast<long>((left - seconds).count())};
  const int seen = ppoll(watched, 2, &timeout, nullptr);
  if (seen > 0 && (watched[0].revents & POLLIN) != 0) {
    std::uint64_t rings = 0;
    static_cast<void>(!read(watched[0].fd, &rings, sizeof rings));
  }
  const bool readable = seen > 0 && (watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  if (readable && onReady) onReady();
  lock.lock();
  return seen > 0;
#endif
}

void MessagePump::setReadyDescriptor(int fd, std::function<void()> onReady) {
#ifdef _WIN32
  static_cast<void>(fd);
  static_cast<void>(onReady);
#else
  {
    std::lock_guard lock(state_->mutex);
    if (fd >= 0 && state_->wakeFd < 0) state_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const bool watched = fd >= 0 && state_->wakeFd >= 0;
    state_->readyFd = watched ? fd : -1;
    state_->onReady = watched ? std::move(onReady) : nullptr;
  }
  // A wait that began before now watches the old set: let it look again.
  state_->wake();
#endif
}

void MessagePump::run() {
  while (!quitRequested()) {
    processMessages();
    if (quitRequested()) break;
    waitMessage(std::chrono::steady_clock::now() + std::chrono::hours(1));
  }
}

void MessagePump::quit() {
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->wake();
}

bool MessagePump::quitRequested() const {
  std::lock_guard lock(state_->mutex);
  return state_->quit;
}

void MessagePump::resetQuit() {
  std::lock_guard lock(state_->mutex);
  state_->quit = false;
}

void MessagePump::setToolkitHooks(ToolkitHooks hooks) {
  std::lock_guard lock(state_->mutex);
  state_->hooks = std::move(hooks);
}

void MessagePump::setErrorReport(ErrorReport report) {
  std::lock_guard lock(state_->mutex);
  state_->errorReport = std::move(report);
}

void MessagePump::reportError(std::exception_ptr error) const {
  ErrorReport report;
  {
    std::lock_guard lock(state_->mutex);
    report = state_->errorReport;
  }
  if (report) {
    report(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "velmora: erreur inconnue\n");
  }
}

std::size_t MessagePump::waitingCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->queue.size();
}

bool MessagePump::onPumpThread() const {
  return std::this_thread::get_id() == state_->owner;
}

}  // namespace velmora::platform
