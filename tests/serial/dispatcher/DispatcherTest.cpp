// The dispatcher core over the scripted device: rings, notification, handlers, closing.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {

struct DispatcherTestAccess {
  static std::uint32_t Tail(TApdBaseDispatcher& d) {
    std::lock_guard lock(d.bufferLock_);
    return d.dispTail_;
  }
  static std::uint32_t Head(TApdBaseDispatcher& d) {
    std::lock_guard lock(d.bufferLock_);
    return d.dispHead_;
  }
  static bool Full(TApdBaseDispatcher& d) {
    std::lock_guard lock(d.bufferLock_);
    return d.dispatchFull_;
  }
};

namespace {

using testing::PumpUntil;
using testing::ScriptedDevice;
using Access = DispatcherTestAccess;

// A method handler that records every notification and takes a set number of bytes from each
// avail notification.
class Recorder {
 public:
  struct Call {
    std::uint32_t msg;
    std::uint32_t wParam;
    std::int32_t lParam;
    std::vector<std::uint8_t> taken;
  };

  Recorder(TApdBaseDispatcher& dispatcher, std::uint32_t take) : d_(dispatcher), take_(take) {}

  void Handle(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
    Call call{msg, wParam, lParam, {}};
    if (msg == apw_TriggerAvail) {
      const std::uint32_t n = std::min(take_.load(), wParam);
      call.taken.resize(n);
      if (n > 0) {
        const std::int32_t got = d_.GetBlock(call.taken.data(), n);
        if (strict) {
          EXPECT_EQ(got, static_cast<std::int32_t>(n));
        }
      }
    }
    if (onCall) onCall(msg);
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }
  void SetTake(std::uint32_t take) { take_ = take; }
  TApdEventHandler Handler() { return MakeEventHandler<&Recorder::Handle>(this); }

  std::function<void(std::uint32_t)> onCall;  // set before the port opens
  // A close may flush the bytes between their announcement and their taking.
  bool strict = true;

 private:
  TApdBaseDispatcher& d_;
  std::atomic<std::uint32_t> take_;
  std::mutex mutex_;
  std::vector<Call> calls_;
};

TEST(Dispatcher, OpensWritesAndCloses) {
  ScriptedDevice d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_TRUE(d.Started());
  EXPECT_EQ(d.ComHandle(), 7);
  EXPECT_EQ(d.Line().DeviceSettings().BaudRate, 38400u);
  const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
  EXPECT_EQ(d.PutBlock(bytes, 3), 0);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().Written().size() == 3; }));
  EXPECT_EQ(d.Line().Written(), std::vector<std::uint8_t>(bytes, bytes + 3));
  ASSERT_TRUE(PumpUntil([&] { return d.OutBuffUsed() == 0; }));
  d.DonePort();
  EXPECT_FALSE(d.Started());
  EXPECT_FALSE(d.DeviceOpen());
  EXPECT_EQ(d.ComHandle(), InvalidHandle);
}

TEST(Dispatcher, AvailNotificationPeeksForEveryHandler) {
  ScriptedDevice d;
  Recorder first(d, 1);
  Recorder second(d, 3);
  d.AddEventHandler(first.Handler());
  d.AddEventHandler(second.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({'a', 'b', 'c'});
  ASSERT_TRUE(PumpUntil([&] { return second.Count() == 1; }));
  const auto a = first.Calls();
  const auto b = second.Calls();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].msg, apw_TriggerAvail);
  EXPECT_EQ(a[0].wParam, 3u);
  EXPECT_EQ(a[0].lParam, d.Handle() << 16);
  EXPECT_EQ(a[0].taken, (std::vector<std::uint8_t>{'a'}));
  EXPECT_EQ(b[0].taken, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  ASSERT_TRUE(PumpUntil([&] { return Access::Tail(d) == 3; }));
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();
}

TEST(Dispatcher, PutBlockIsAllOrNothing) {
  ScriptedDevice d;
  ASSERT_EQ(d.Open(38400, 4096, 64), 0);
  d.Line().HoldWrites(true);
  std::vector<std::uint8_t> block(64);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(d.PutBlock(block.data(), 0), 0);
  EXPECT_EQ(d.PutBlock(block.data(), 60), 0);
  EXPECT_EQ(d.OutBuffFree(), 4u);
  EXPECT_EQ(d.PutBlock(block.data(), 5), ecOutputBufferTooSmall);
  EXPECT_EQ(d.OutBuffUsed(), 60u);
  EXPECT_EQ(d.PutBlock(block.data() + 60, 4), 0);  // exactly the free room: the ring is full
  EXPECT_EQ(d.OutBuffFree(), 0u);
  EXPECT_EQ(d.OutBuffUsed(), 64u);
  EXPECT_EQ(d.PutBlock(block.data(), 1), ecOutputBufferTooSmall);
  EXPECT_TRUE(d.Line().Written().empty());
  d.Line().HoldWrites(false);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().Written().size() == 64; }));
  EXPECT_EQ(d.Line().Written(), block);
  ASSERT_TRUE(PumpUntil([&] { return d.OutBuffUsed() == 0; }));
  // The ring wraps: a block across its end arrives whole and in order.
  std::vector<std::uint8_t> more(50, 0xAB);
  EXPECT_EQ(d.PutBlock(more.data(), 50), 0);
  ASSERT_TRUE(PumpUntil([&] { return d.OutBuffUsed() == 0; }));
  EXPECT_EQ(d.PutBlock(block.data(), 40), 0);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().Written().size() == 154; }));
  const auto written = d.Line().Written();
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 40, written.begin() + 114));
  d.DonePort();
}

// While PutBlock asks the device for its errors, another thread can still reach the output
// ring: the device call is not made under the output lock.
class ProbingDevice : public ScriptedDevice {
 public:
  ~ProbingDevice() override { Join(); }
  std::int32_t GetComError(TComStat& stat) override {
    if (probing && std::this_thread::get_id() == prober && !other_.joinable()) {
      other_ = std::thread([this] {
        (void)OutBuffUsed();
        reached_ = true;
      });
      ringReachable = PumpUntil([&] { return reached_.load(); }, std::chrono::seconds{5});
    }
    return ScriptedDevice::GetComError(stat);
  }
  // After PutBlock: the other thread may have waited for the lock until then.
  void Join() {
    if (other_.joinable()) other_.join();
  }
  // Only the test thread probes; the dispatch thread asks for errors too.
  std::atomic<bool> probing{false};
  std::thread::id prober = std::this_thread::get_id();
  bool ringReachable = false;

 private:
  std::atomic<bool> reached_{false};
  std::thread other_;
};

TEST(Dispatcher, PutBlockAsksTheDeviceOutsideTheOutputLock) {
  ProbingDevice d;
  ASSERT_EQ(d.Open(), 0);
  d.probing = true;
  const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
  EXPECT_EQ(d.PutBlock(bytes, 3), 0);
  d.probing = false;
  d.Join();
  EXPECT_TRUE(d.ringReachable);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().Written().size() == 3; }));
  d.DonePort();
}

TEST(Dispatcher, FlushingOutputAbandonsAHeldWrite) {
  ScriptedDevice d;
  ASSERT_EQ(d.Open(), 0);
  d.Line().HoldWrites(true);
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(d.PutBlock(bytes, 3), 0);
  EXPECT_EQ(d.FlushOutBuffer(), 0);
  EXPECT_EQ(d.OutBuffUsed(), 0u);
  d.Line().HoldWrites(false);
  const std::uint8_t next[] = {9};
  EXPECT_EQ(d.PutBlock(next, 1), 0);
  ASSERT_TRUE(PumpUntil([&] { return !d.Line().Written().empty(); }));
  EXPECT_EQ(d.Line().Written(), std::vector<std::uint8_t>{9});
  d.DonePort();
}

TEST(Dispatcher, NoAvailNotificationWithoutALengthTrigger) {
  ScriptedDevice d;
  Recorder r(d, 0);
  d.AddEventHandler(r.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.Line().Feed({1, 2, 3, 4});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 4; }));
  d.Line().Feed({5});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 5; }));
  EXPECT_EQ(r.Count(), 0u);
  d.SetTriggerLength(1);
  d.Line().Feed({6});
  ASSERT_TRUE(PumpUntil([&] { return r.Count() == 1; }));
  EXPECT_EQ(r.Calls()[0].wParam, 6u);
  d.DonePort();
}

TEST(Dispatcher, UntakenBytesWaitForTheNextArrival) {
  ScriptedDevice d;
  Recorder r(d, 1);
  d.AddEventHandler(r.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({'x', 'y', 'z'});
  ASSERT_TRUE(PumpUntil([&] { return r.Count() == 1 && !d.InNotification(); }));
  ASSERT_TRUE(PumpUntil([&] { return Access::Tail(d) == 1; }));
  EXPECT_EQ(d.InBuffUsed(), 2u);
  d.Line().Feed({'!'});
  ASSERT_TRUE(PumpUntil([&] { return r.Count() == 2; }));
  const auto calls = r.Calls();
  EXPECT_EQ(calls[1].wParam, 3u);  // two old bytes and the new one, announced together
  EXPECT_EQ(calls[1].taken, std::vector<std::uint8_t>{'y'});
  d.DonePort();
}

TEST(Dispatcher, GetBlockOutsideANotification) {
  ScriptedDevice d;
  ASSERT_EQ(d.Open(), 0);
  d.Line().Feed({1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 3; }));
  std::uint8_t out[4] = {};
  EXPECT_EQ(d.GetBlock(out, 4), ecBufferIsEmpty);
  EXPECT_EQ(d.InBuffUsed(), 3u);
  EXPECT_EQ(d.GetBlock(out, 2), 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(d.InBuffUsed(), 1u);
  EXPECT_EQ(d.FlushInBuffer(), 0);
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();
  EXPECT_EQ(d.GetBlock(out, 1), ecBufferIsEmpty);
  EXPECT_EQ(d.PutBlock(out, 1), ecPutBlockFail);  // released: no output ring any more
}

TEST(Dispatcher, PeekingBeyondTheAnnouncedBytesFails) {
  ScriptedDevice d;
  std::vector<std::int32_t> results;
  Recorder r(d, 0);
  r.onCall = [&](std::uint32_t msg) {
    if (msg != apw_TriggerAvail) return;
    std::uint8_t out[2];
    results.push_back(d.GetBlock(out, 2));
    results.push_back(d.GetBlock(out, 2));
    results.push_back(d.GetBlock(out, 1));
    results.push_back(static_cast<std::int32_t>(d.InBuffUsed()));
  };
  d.AddEventHandler(r.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return r.Count() == 1 && !d.InNotification(); }));
  EXPECT_EQ(results, (std::vector<std::int32_t>{2, ecBufferIsEmpty, 1, 0}));
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();
}

TEST(Dispatcher, AFullDispatchBufferStopsReadingUntilBytesAreTaken) {
  ScriptedDevice d;
  Recorder r(d, 0);
  d.AddEventHandler(r.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed(std::vector<std::uint8_t>(DispatchBufferSize + 10, 0x55));
  ASSERT_TRUE(PumpUntil([&] { return Access::Full(d) && r.Count() == 1 && !d.InNotification(); }));
  EXPECT_EQ(r.Calls()[0].wParam, DispatchBufferSize);
  EXPECT_EQ(Access::Head(d), Access::Tail(d));
  EXPECT_EQ(d.InBuffUsed(), DispatchBufferSize);
  EXPECT_EQ(d.Line().InputLeft(), 10u);
  std::vector<std::uint8_t> out(100);
  EXPECT_EQ(d.GetBlock(out.data(), 100), 100);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().InputLeft() == 0 && r.Count() == 2; }));
  EXPECT_EQ(r.Calls()[1].wParam, DispatchBufferSize - 90);
  EXPECT_EQ(d.InBuffUsed(), DispatchBufferSize - 90);
  d.DonePort();
}

TEST(Dispatcher, DonePortInsideANotificationIsFinishedByTheDispatchThread) {
  ScriptedDevice d;
  Recorder closer(d, 1);
  Recorder after(d, 1);
  closer.onCall = [&](std::uint32_t) { d.DonePort(); };
  d.AddEventHandler(closer.Handler());
  d.AddEventHandler(after.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return !d.Started(); }));
  EXPECT_EQ(closer.Count(), 1u);
  EXPECT_EQ(after.Count(), 0u);
  EXPECT_TRUE(d.ClosePending());
  EXPECT_FALSE(d.DeviceOpen());
  EXPECT_FALSE(d.HasDispatchThread());
  EXPECT_EQ(d.InBuffUsed(), 0u);  // released: the ring is gone
}

TEST(Dispatcher, DonePortFromAnotherThreadDuringANotificationIsDeferred) {
  ScriptedDevice d;
  std::atomic<bool> entered{false};
  platform::Event release{platform::Event::Reset::Manual};
  Recorder slow(d, 1);
  slow.strict = false;  // the close flushes the announced bytes
  slow.onCall = [&](std::uint32_t) {
    entered = true;
    release.wait();
  };
  d.AddEventHandler(slow.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return entered.load(); }));
  ASSERT_TRUE(d.InNotification());
  d.DonePort();  // the dispatch thread is inside the handler: the release is left to it
  EXPECT_TRUE(d.ClosePending());
  EXPECT_FALSE(d.DeviceOpen());
  EXPECT_TRUE(d.Started());
  release.set();
  ASSERT_TRUE(PumpUntil([&] { return !d.Started(); }));
  EXPECT_FALSE(d.HasDispatchThread());
}

TEST(Dispatcher, HandlersRemovedDuringANotificationAreFreedAtItsEnd) {
  ScriptedDevice d;
  Recorder remover(d, 1);
  Recorder removed(d, 1);
  remover.onCall = [&](std::uint32_t) {
    d.RemoveEventHandler(removed.Handler().Code);  // same code: the first entry goes
  };
  d.AddEventHandler(remover.Handler());
  d.AddEventHandler(removed.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({1});
  ASSERT_TRUE(
      PumpUntil([&] { return remover.Count() + removed.Count() >= 1 && !d.InNotification(); }));
  // Both share one procedure: the remover removed its own entry while being called, and the
  // second entry was still called.
  d.Line().Feed({2});
  ASSERT_TRUE(PumpUntil([&] { return removed.Count() == 2; }));
  EXPECT_EQ(remover.Count(), 1u);
  d.DonePort();
}

TEST(Dispatcher, WindowHandlersAreSentToWithTheDispatcherHandle) {
  ScriptedDevice d;
  std::vector<platform::Message> received;
  platform::MessageWindow window([&](const platform::Message& m) {
    if (m.id == apw_TriggerAvail) {
      std::vector<std::uint8_t> out(m.wParam);
      EXPECT_EQ(d.GetBlock(out.data(), static_cast<std::uint32_t>(m.wParam)),
                static_cast<std::int32_t>(m.wParam));
    }
    received.push_back(m);
    return std::intptr_t{0};
  });
  d.AddWindowHandler(42, window.ref());
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({7});
  // One window alone hears nothing until the port says its events are assigned.
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 1; }));
  EXPECT_TRUE(received.empty());
  d.UpdateHandlerFlags(1);
  d.Line().Feed({8});
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 1; }));
  EXPECT_EQ(received[0].wParam, 2u);
  EXPECT_EQ((received[0].lParam >> 16) & 0xFFFF, d.Handle());
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 0; }));
  d.RemoveWindowHandler(42);
  d.UpdateHandlerFlags(2);
  d.DonePort();
}

// A window with no use for avail notifications (the port's, without an avail handler) is not
// sent them, so that reading never waits for its thread; it still hears the other events, and
// the method handlers still take the bytes.
TEST(Dispatcher, AWindowThatWantsNoAvailHearsTheOtherNotificationsOnly) {
  ScriptedDevice d;
  Recorder taker(d, 16);
  std::vector<std::uint32_t> heard;
  platform::MessageWindow window([&](const platform::Message& m) {
    heard.push_back(m.id);
    return std::intptr_t{0};
  });
  d.AddEventHandler(taker.Handler());
  d.AddWindowHandler(42, window.ref());
  testing::CloseOnExit close(d);
  ASSERT_EQ(d.Open(), 0);
  d.UpdateHandlerFlags(1);
  d.SetWindowAvailWanted(42, false);
  d.SetTriggerLength(1);
  const std::int32_t timer = d.AddTimerTrigger();
  d.Line().Feed({1, 2});
  ASSERT_TRUE(PumpUntil([&] { return taker.Count() == 1; }));
  ASSERT_EQ(d.SetTimerTrigger(timer, 1, true), 0);
  ASSERT_TRUE(PumpUntil([&] { return !heard.empty(); }));
  EXPECT_EQ(heard, std::vector<std::uint32_t>{apw_TriggerTimer});
  EXPECT_EQ(taker.Calls()[0].taken, (std::vector<std::uint8_t>{1, 2}));
  // Wanted again: the next arrival reaches the window too.
  d.SetWindowAvailWanted(42, true);
  d.Line().Feed({3});
  ASSERT_TRUE(PumpUntil([&] { return heard.size() == 2; }));
  EXPECT_EQ(heard[1], apw_TriggerAvail);
  d.RemoveWindowHandler(42);
  d.UpdateHandlerFlags(2);
  d.DonePort();
}

TEST(Dispatcher, ClosingWhileTheDispatchThreadSendsToThisThread) {
  // The window handler on this thread closes the port: the close must neither deadlock on the
  // dispatch thread's send nor free the dispatcher under it.
  auto d = std::make_unique<ScriptedDevice>();
  platform::MessageWindow window([&](const platform::Message&) {
    d->DonePort();
    return std::intptr_t{0};
  });
  d->AddWindowHandler(1, window.ref());
  ASSERT_EQ(d->Open(), 0);
  d->UpdateHandlerFlags(1);
  d->SetTriggerLength(1);
  d->Line().Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return d->ClosePending() && !d->Started(); }));
  d.reset();
}

TEST(Dispatcher, DestroyingWhileTheThreadsRun) {
  for (int round = 0; round < 20; ++round) {
    auto d = std::make_unique<ScriptedDevice>();
    Recorder r(*d, 100);
    r.strict = false;
    d->AddEventHandler(r.Handler());
    ASSERT_EQ(d->Open(), 0);
    d->SetTriggerLength(1);
    d->Line().Feed({1, 2, 3});
    const std::uint8_t out[] = {4, 5};
    d->PutBlock(out, 2);
    d.reset();  // before the handler's object goes
  }
}

TEST(Dispatcher, OpensAgainAfterAClose) {
  ScriptedDevice d;
  Recorder closer(d, 1);
  closer.onCall = [&](std::uint32_t) { d.DonePort(); };
  d.AddEventHandler(closer.Handler());
  testing::CloseOnExit closeFirst(d);
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Line().Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return !d.Started(); }));  // released by the dispatch thread
  d.RemoveEventHandler(closer.Handler().Code);
  ASSERT_EQ(d.Open(), 0);
  EXPECT_FALSE(d.ClosePending());
  const std::uint8_t bytes[] = {5};
  EXPECT_EQ(d.PutBlock(bytes, 1), 0);
  ASSERT_TRUE(PumpUntil([&] { return d.Line().Written().size() == 1; }));
  d.DonePort();
  ASSERT_EQ(d.Open(), 0);
  d.DonePort();
}

TEST(Dispatcher, AThrowingHandlerIsReportedOnTheMainThread) {
  std::vector<std::string> reports;
  auto& pump = platform::MessagePump::current();
  pump.setErrorReport([&](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reports.emplace_back(e.what());
    }
  });
  {
    ScriptedDevice d;
    Recorder thrower(d, 0);
    Recorder next(d, 1);
    thrower.onCall = [](std::uint32_t) { throw std::runtime_error("handler failed"); };
    d.AddEventHandler(thrower.Handler());
    d.AddEventHandler(next.Handler());
    testing::CloseOnExit closeFirst(d);
    ASSERT_EQ(d.Open(), 0);
    d.SetTriggerLength(1);
    d.Line().Feed({1});
    // The notification goes on to the next handler, and the dispatcher keeps running.
    ASSERT_TRUE(PumpUntil([&] { return next.Count() == 1 && reports.size() == 1; }));
    EXPECT_EQ(reports[0], "handler failed");
    d.Line().Feed({2});
    ASSERT_TRUE(PumpUntil([&] { return next.Count() == 2; }));
  }
  pump.setErrorReport(nullptr);
}

TEST(Dispatcher, RegistryHandsOutTheLowestFreeHandle) {
  auto first = std::make_unique<ScriptedDevice>();
  auto second = std::make_unique<ScriptedDevice>();
  const std::int32_t freed = first->Handle();
  EXPECT_NE(freed, second->Handle());
  {
    auto lock = DispatcherList::Lock();
    EXPECT_EQ(DispatcherList::At(freed), first.get());
  }
  first.reset();  // never opened: only its entry goes
  {
    auto lock = DispatcherList::Lock();
    EXPECT_EQ(DispatcherList::At(freed), nullptr);
  }
  ScriptedDevice third;
  EXPECT_EQ(third.Handle(), freed);
}

TEST(Dispatcher, SynchronizeRunsOnTheCreatingThread) {
  ScriptedDevice d;
  const auto main = std::this_thread::get_id();
  std::thread::id ranOn;
  bool done = false;
  std::thread worker([&] {
    d.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return ranOn == main; }));
  worker.join();
  EXPECT_TRUE(done);
}

TEST(Ticks, TimersExpireAfterTheirTicksAndAcrossTheWrap) {
  platform::ManualClock clock;
  ScriptedDevice d(clock);
  TEventTimer timer;
  d.NewTimer(timer, 2);
  clock.advance(std::chrono::milliseconds{110});
  EXPECT_FALSE(d.TimerExpired(timer));  // expiry must be passed, not reached
  clock.advance(std::chrono::milliseconds{55});
  EXPECT_TRUE(d.TimerExpired(timer));
  d.NewTimer(timer, 0xFFFFFFFF);
  EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, MaxTicks);
  // Near the wrap of the 32-bit millisecond count.
  clock.set(std::chrono::milliseconds{0xFFFFFFFFll - 100});
  d.NewTimer(timer, 5);
  clock.advance(std::chrono::milliseconds{200});
  EXPECT_LT(d.TickCount(), timer.StartTicks);
  EXPECT_FALSE(d.TimerExpired(timer));
  clock.advance(std::chrono::milliseconds{400});
  EXPECT_TRUE(d.TimerExpired(timer));
}

}  // namespace
}  // namespace velmora::serial
