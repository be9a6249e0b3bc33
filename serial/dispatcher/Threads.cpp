// The dispatcher's three threads, their start, and the stop handshake.

#ifndef _WIN32
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "serial/dispatcher/Dispatcher.h"

#ifdef _WIN32
#include <windows.h>  // after Dispatcher.h, whose constants it would otherwise turn into macros
#endif

namespace velmora::serial {

namespace {

constexpr auto kStartAckTimeout = std::chrono::milliseconds{3000};
constexpr auto kDispatchWait = std::chrono::milliseconds{50};
// The wait of a dispatch thread that has nothing to time: it is woken for anything else.
constexpr auto kLongDispatchWait = std::chrono::hours{1};
// Every wait of a thread is woken by a stop, so a thread that has not ended by then is stuck
// in a system call. Its object cannot be freed under it: the process ends, saying why, rather
// than hang for good.
constexpr auto kThreadEndBound = std::chrono::seconds{30};

[[noreturn]] void threadStuck(const char* which) {
  std::fprintf(stderr, "velmora: %s du port série ne s'est pas terminé en %lld s\n", which,
               static_cast<long long>(kThreadEndBound.count()));
  std::abort();
}

std::int32_t currentTid() {
#ifdef _WIN32
  return static_cast<std::int32_t>(::GetCurrentThreadId());
#else
  return static_cast<std::int32_t>(::syscall(SYS_gettid));
#endif
}

// Named, so that per-thread figures (top -H, /proc/PID/task) tell the threads apart.
void nameThisThread([[maybe_unused]] const char* name) {
#ifndef _WIN32
  ::pthread_setname_np(::pthread_self(), name);
#endif
}

// Lets a waiting thread handle its own window messages (a notification that the dispatch
// thread sends to it must be able to finish) without spinning.
void pumpOnce() {
  auto& pump = platform::MessagePump::current();
  if (pump.processOneMessage()) return;
  if (pump.quitRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds{5});
  } else {
    pump.waitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds{10});
  }
}

}  // namespace

bool TApdBaseDispatcher::OnThread(ThreadKind kind) {
  std::lock_guard lock(threadsLock_);
  const auto self = std::this_thread::get_id();
  switch (kind) {
    case ThreadKind::Com:
      return self == comThreadId_;
    case ThreadKind::Dispatch:
      return self == dispThreadId_;
    case ThreadKind::Output:
      return self == outThreadId_;
  }
  return false;
}

void TApdBaseDispatcher::StartDispatcher() {
  std::lock_guard start(startLock_);
  if (started_) throw std::logic_error("Dispatcher already started");
  // Threads of an earlier start have all ended; their objects may still wait to be joined.
  std::thread earlier[3];
  {
    std::lock_guard lock(threadsLock_);
    earlier[0] = std::move(comThread_);
    earlier[1] = std::move(dispThread_);
    earlier[2] = std::move(outThread_);
  }
  for (auto& thread : earlier) {
    if (thread.joinable()) thread.join();
  }
  started_ = true;
  killThreads_ = false;
  dispatchWaitsForDevice_ = HasTimedComWait();
  deviceWaitEnded_ = false;
  inDeviceWait_ = false;

  const auto launch = [this](ThreadKind kind, std::atomic<bool>& running, std::thread& slot,
                             std::thread::id& id, void (TApdBaseDispatcher::*body)()) {
    threadAck_.reset();
    running = true;
    ++runningThreads_;
    try {
      std::lock_guard lock(threadsLock_);
      slot = std::thread([this, kind, body] {
        threadTids_[static_cast<int>(kind)] = currentTid();
        static constexpr const char* kNames[] = {"serial-com", "serial-dispatch", "serial-out"};
        nameThisThread(kNames[static_cast<int>(kind)]);
        (this->*body)();
      });
      id = slot.get_id();
    } catch (...) {
      running = false;
      if (--runningThreads_ == 0) started_ = false;
      throw;
    }
    threadAck_.wait(kStartAckTimeout);
  };
  if (!dispatchWaitsForDevice_) {
    launch(ThreadKind::Com, comThreadRunning_, comThread_, comThreadId_,
           &TApdBaseDispatcher::ComThreadMain);
  }
  launch(ThreadKind::Dispatch, dispThreadRunning_, dispThread_, dispThreadId_,
         &TApdBaseDispatcher::DispThreadMain);
  launch(ThreadKind::Output, outThreadRunning_, outThread_, outThreadId_,
         &TApdBaseDispatcher::OutThreadMain);
}

void TApdBaseDispatcher::ThreadEnded(ThreadKind kind) {
  {
    std::lock_guard lock(threadsLock_);
    switch (kind) {
      case ThreadKind::Com:
        comThreadRunning_ = false;
        break;
      case ThreadKind::Dispatch:
        dispThreadRunning_ = false;
        break;
      case ThreadKind::Output:
        outThreadRunning_ = false;
        break;
    }
    threadTids_[static_cast<int>(kind)] = 0;
    if (--runningThreads_ == 0) started_ = false;
  }
  threadsChanged_.notify_all();
}

void TApdBaseDispatcher::ComThreadMain() {
  threadAck_.set();
  try {
    while (!killThreads_) {
      std::uint32_t mask = 0;
      if (!WaitComEvent(mask)) break;  // the device cannot be waited on; the passes poll
      if (killThreads_) break;
      if (mask == 0) continue;
      if (mask & (EV_RING | EV_RINGTE)) ringSeen_ = true;
      // Added up, so that an event delivered before the last one was looked at is not lost.
      eventMask_.fetch_or(mask);
      comEventReady_.set();
      dispatchDone_.wait();
    }
  } catch (...) {
    ReportFailure();
  }
  ThreadEnded(ThreadKind::Com);
}

void TApdBaseDispatcher::DispThreadMain() {
  threadAck_.set();
  try {
    for (;;) {
      WaitForNews();
      if (killThreads_) break;
      ProcessingPass();
      TimerPass();
      if (killThreads_ || closePending_) break;
    }
  } catch (...) {
    ReportFailure();
  }
  // End of the dispatch thread, also after a failure:
  // 1. a close requested inside a notification, or a stop, leaves the release to this
  //    thread, which by now delivers nothing more;
  // 2. ReleasePort waits for the com and output threads (never for this one) and frees the
  //    rings; no lock is held while it waits;
  // 3. this thread counts itself out; the last one out clears Started().
  releaseAfterThreads_ = closePending_ || killThreads_;
  if (releaseAfterThreads_) {
    try {
      ReleasePort();
    } catch (...) {
      ReportFailure();
    }
    releaseAfterThreads_ = false;
  }
  ThreadEnded(ThreadKind::Dispatch);
}

void TApdBaseDispatcher::WaitForNews() {
  if (!dispatchWaitsForDevice_ || deviceWaitEnded_) {
    comEventReady_.wait(kDispatchWait);
    return;
  }
  bool full = false;
  {
    std::lock_guard lock(bufferLock_);
    full = dispatchFull_;
  }
  // A full buffer reads nothing: the device would stay readable and the wait return at once.
  // GetBlock wakes this wait when it makes room.
  if (full) {
    comEventReady_.wait(kDispatchWait);
    return;
  }
  std::uint32_t mask = 0;
  std::int32_t got = 0;
  inDeviceWait_ = true;
  // Raised before looking, so that a trigger armed meanwhile sees it and wakes this wait.
  sleepingLong_ = true;
  const bool ticking = NeedsPasses();
  if (ticking) sleepingLong_ = false;
  if (!killThreads_) got = WaitComEventFor(mask, ticking ? kDispatchWait : kLongDispatchWait);
  sleepingLong_ = false;
  inDeviceWait_ = false;
  if (got < 0) {
    deviceWaitEnded_ = true;
    return;
  }
  if (mask & (EV_RING | EV_RINGTE)) ringSeen_ = true;
  if (mask != 0) eventMask_.fetch_or(mask);
}

bool TApdBaseDispatcher::NeedsPasses() {
  std::lock_guard lock(generalLock_);
  const bool timing = std::any_of(timerTriggers_.begin(), timerTriggers_.end(),
                                  [](const auto& t) { return t.Active; });
  // Buffer levels change as the device drains its output, which wakes nobody: looked at each
  // pass. Whatever else a trigger waits for wakes the thread by itself.
  const bool levels =
      std::any_of(statusTriggers_.begin(), statusTriggers_.end(), [](const auto& t) {
        return t.Armed && !t.Fired && (t.Kind == stOutBuffFree || t.Kind == stOutBuffUsed);
      });
  return timing || levels;
}

void TApdBaseDispatcher::WakeLongSleep() {
  if (sleepingLong_) CancelComWait();
}

std::int32_t TApdBaseDispatcher::WaitComEventFor(std::uint32_t& mask, std::chrono::milliseconds) {
  mask = 0;
  return -1;
}

void TApdBaseDispatcher::OutThreadMain() {
  threadAck_.set();
  try {
    for (;;) {
      outputWake_.wait();
      if (outputFlushRequest_.exchange(false)) flushAck_.set();
      if (killThreads_) break;
      DrainOutput();
      if (killThreads_ || closePending_) break;
    }
  } catch (...) {
    ReportFailure();
  }
  if (outputFlushRequest_.exchange(false)) flushAck_.set();
  ThreadEnded(ThreadKind::Output);
}

// Writes the output ring to the device. The waiting bytes are copied out under the output
// lock, so that PutBlock may fill the ring, and a discard empty it, while the device writes.
void TApdBaseDispatcher::DrainOutput() {
  std::vector<std::uint8_t> block;
  while (!killThreads_) {
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(outputLock_);
      const std::uint32_t used = OutRingUsedLocked();
      if (used == 0 || outRing_.empty()) return;
      const auto size = static_cast<std::uint32_t>(outRing_.size());
      block.resize(used);
      const std::uint32_t first = std::min(used, size - outTail_);
      std::copy_n(outRing_.begin() + outTail_, first, block.begin());
      std::copy_n(outRing_.begin(), used - first, block.begin() + first);
      generation = outGeneration_;
      outWriting_ = true;
    }
    const std::int32_t written =
        WriteDevice(block.data(), static_cast<std::uint32_t>(block.size()));
    if (outputFlushRequest_.exchange(false)) flushAck_.set();
    std::lock_guard lock(outputLock_);
    outWriting_ = false;
    if (written == 0) continue;  // interrupted: a discard or a stop, looked at above
    if (generation != outGeneration_ || outRing_.empty()) continue;
    // A failed write drops its block.
    const auto advance = written > 0 ? std::min(static_cast<std::uint32_t>(written),
                                                static_cast<std::uint32_t>(block.size()))
                                     : static_cast<std::uint32_t>(block.size());
    outTail_ = (outTail_ + advance) % static_cast<std::uint32_t>(outRing_.size());
    outFull_ = false;
    if (outTail_ == outHead_) outTail_ = outHead_ = 0;
  }
}

void TApdBaseDispatcher::StopDeviceThreads() {
  // Stopping the com and output threads:
  // 1. kill threads first, so that neither thread starts another wait;
  // 2. wake both: the driver cancels a pending device wait or write, dispatch done releases
  //    the com thread, the output wake releases the output thread;
  // 3. the first stopper takes the thread objects and joins them; any other stopper waits
  //    until both have counted themselves out. Neither thread takes a lock that a stopper
  //    holds while it waits: a stopper holds none.
  killThreads_ = true;
  CancelComWait();
  dispatchDone_.set();
  outputWake_.set();
  CancelOutputWait();

  std::thread com;
  std::thread out;
  {
    std::unique_lock lock(threadsLock_);
    const auto self = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + kThreadEndBound;
    if (!threadsChanged_.wait_until(lock, deadline,
                                    [&] { return !comThreadRunning_ || comThreadId_ == self; }))
      threadStuck("le fil de réception");
    if (!threadsChanged_.wait_until(lock, deadline,
                                    [&] { return !outThreadRunning_ || outThreadId_ == self; }))
      threadStuck("le fil d'émission");
    if (comThread_.joinable() && comThreadId_ != self) com = std::move(comThread_);
    if (outThread_.joinable() && outThreadId_ != self) out = std::move(outThread_);
  }
  // Both have counted themselves out: the joins return at once.
  if (com.joinable()) com.join();
  if (out.joinable()) out.join();
  // Without a com thread the dispatch thread waits on the device: once it has left that wait,
  // it starts no other (killThreads_ is set), and the device may close.
  if (OnThread(ThreadKind::Dispatch)) return;
  const auto deadline = std::chrono::steady_clock::now() + kThreadEndBound;
  while (inDeviceWait_) {
    if (std::chrono::steady_clock::now() > deadline) threadStuck("le fil de répartition");
    CancelComWait();
    std::this_thread::sleep_for(std::chrono::microseconds{200});
  }
}

void TApdBaseDispatcher::WaitForDispatchThread() {
  // The dispatch thread may be sending a notification to this very thread: handle this
  // thread's messages while waiting, and nudge the dispatch thread out of its 50 ms wait.
  const auto deadline = std::chrono::steady_clock::now() + kThreadEndBound;
  while (dispThreadRunning_) {
    if (std::chrono::steady_clock::now() > deadline) threadStuck("le fil de répartition");
    comEventReady_.set();
    if (inDeviceWait_) CancelComWait();
    pumpOnce();
  }
  std::thread disp;
  {
    std::lock_guard lock(threadsLock_);
    if (dispThread_.joinable()) disp = std::move(dispThread_);
  }
  if (disp.joinable()) disp.join();
}

void TApdBaseDispatcher::StopDispatcher() {
  {
    std::lock_guard start(startLock_);
    if (!started_) return;
  }
  // Stopping every thread (startLock_ is not held from here on):
  // 1. the com and output threads are told to end and joined (StopDeviceThreads);
  // 2. unless this is the dispatch thread itself, it is waited for while this thread keeps
  //    handling its own messages; the dispatch thread takes the general lock at the end of
  //    each notification, and nobody holds it here;
  // 3. the events are left reset for a later start.
  StopDeviceThreads();
  if (!OnThread(ThreadKind::Dispatch)) WaitForDispatchThread();
  comEventReady_.reset();
  threadAck_.reset();
}

void TApdBaseDispatcher::Finalize() {
  if (finalized_.exchange(true)) return;
  // It waits for every thread of this dispatcher, so none of them may be the caller.
  assert(!OnThread(ThreadKind::Com) && !OnThread(ThreadKind::Dispatch) &&
         !OnThread(ThreadKind::Output));
  try {
    if (closePending_)
      ReleasePort();
    else
      DonePort();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora: fermeture du port série : %s\n", error.what());
  } catch (...) {
    std::fputs("velmora: échec de la fermeture du port série\n", stderr);
  }
  const auto deadline = std::chrono::steady_clock::now() + kThreadEndBound;
  while (runningThreads_ > 0) {
    if (std::chrono::steady_clock::now() > deadline) threadStuck("un fil");
    pumpOnce();
  }
  std::thread threads[3];
  {
    std::lock_guard lock(threadsLock_);
    threads[0] = std::move(comThread_);
    threads[1] = std::move(dispThread_);
    threads[2] = std::move(outThread_);
  }
  for (auto& thread : threads) {
    if (!thread.joinable()) continue;
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }
}

void TApdBaseDispatcher::SetThreadBoost(std::uint8_t boost) {
  std::lock_guard lock(generalLock_);
  if (boost == threadBoost_) return;
  threadBoost_ = boost;
  if (comThreadRunning_) SetThreadLevel(ThreadKind::Com, 3 + boost);
  if (dispThreadRunning_) SetThreadLevel(ThreadKind::Dispatch, 3 + boost);
  if (outThreadRunning_) SetThreadLevel(ThreadKind::Output, (rs485Mode_ ? 4 : 3) + boost);
}

// Levels 0..6 become nice values; raising a thread above normal needs a privilege the
// program usually lacks, and then the thread simply stays where it is.
void TApdBaseDispatcher::SetThreadLevel(ThreadKind thread, std::int32_t level) {
  static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -15};
  const int tid = threadTids_[static_cast<int>(thread)];
  if (tid == 0) return;
  const int index = std::clamp(level, 0, 6);
#ifdef _WIN32
  static constexpr int kPriority[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                      THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                      THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                      THREAD_PRIORITY_TIME_CRITICAL};
  (void)kNice;
  if (HANDLE handle = ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(tid))) {
    ::SetThreadPriority(handle, kPriority[index]);
    ::CloseHandle(handle);
  }
#else
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[index]);
#endif
}

}  // namespace velmora::serial
