// Timer and status triggers: handles, arming, firing on the dispatch thread, snapshots.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::PumpUntil;
using testing::ScriptedDevice;

// Records the trigger notifications a method handler receives.
class Fired {
 public:
  struct Call {
    std::uint32_t msg;
    std::uint32_t handle;
    std::uint16_t data;
  };
  void Handle(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
    if (msg == apw_TriggerAvail) return;
    std::lock_guard lock(mutex_);
    calls_.push_back({msg, wParam, static_cast<std::uint16_t>(lParam & 0xFFFF)});
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t Count(std::uint32_t handle) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const Call& c) { return c.handle == handle; }));
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
};

TEST(TriggerHandles, CountUpInEightsWithTheKindInTheLowBits) {
  ScriptedDevice d;
  EXPECT_EQ(d.AddStatusTrigger(stModem), 9);
  EXPECT_EQ(d.AddTimerTrigger(), 16);
  EXPECT_EQ(d.AddStatusTrigger(stOutBuffUsed), 28);
  EXPECT_EQ(StatusTriggerKind(0x0C), 4);
  EXPECT_EQ(StatusTriggerKind(28), stOutBuffUsed);
  EXPECT_EQ(d.AddStatusTrigger(6), ecBadArgument);
  EXPECT_EQ(d.AddStatusTrigger(-1), ecBadArgument);
  EXPECT_EQ(d.RemoveTrigger(0), ecBadTriggerHandle);
  EXPECT_EQ(d.RemoveTrigger(24), ecBadTriggerHandle);  // 28 is the handle, not its base
  EXPECT_EQ(d.RemoveTrigger(28), 0);
  EXPECT_EQ(d.RemoveTrigger(28), ecBadTriggerHandle);
  EXPECT_EQ(d.SetTimerTrigger(9, 5, true), ecBadTriggerHandle);    // not a timer
  EXPECT_EQ(d.SetStatusTrigger(16, 5, true), ecBadTriggerHandle);  // not a status trigger
  EXPECT_EQ(d.SetTimerTrigger(1, 5, true), ecBadTriggerHandle);
}

TEST(TriggerHandles, ReuseTheLowestFreeOnesAfterTheCounterRunsOut) {
  ScriptedDevice d;
  for (int i = 1; i < 4096; ++i) ASSERT_EQ(d.AddTimerTrigger(), i * 8);
  // The counter is spent: the free handles up to 4096 are searched, and none is left.
  EXPECT_EQ(d.AddTimerTrigger(), ecNoMoreTriggers);
  EXPECT_EQ(d.RemoveTrigger(32760), 0);
  EXPECT_EQ(d.AddStatusTrigger(stLine), ecNoMoreTriggers);  // above 4096 is never reused
  EXPECT_EQ(d.RemoveTrigger(16), 0);
  EXPECT_EQ(d.AddStatusTrigger(stLine), 18);
  EXPECT_EQ(d.AddTimerTrigger(), ecNoMoreTriggers);  // 16 is taken by the status trigger
  EXPECT_EQ(d.RemoveTrigger(4096), 0);
  EXPECT_EQ(d.AddTimerTrigger(), 4096);
}

TEST(TriggerHandles, LengthTriggerIsHandleOne) {
  ScriptedDevice d;
  Fired fired;
  d.AddEventHandler(MakeEventHandler<&Fired::Handle>(&fired));
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  EXPECT_EQ(d.RemoveTrigger(1), 0);
  d.Line().Feed({1, 2});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 2; }));
  TTriggerSnapshot snapshot;
  d.SaveTriggers(snapshot);
  EXPECT_EQ(snapshot.LengthTrigger, 0u);
  d.DonePort();
}

class Triggers : public ::testing::Test {
 protected:
  void SetUp() override {
    d.AddEventHandler(MakeEventHandler<&Fired::Handle>(&fired));
    ASSERT_EQ(d.Open(), 0);
  }
  void TearDown() override { d.DonePort(); }
  platform::ManualClock clock;
  ScriptedDevice d{clock};
  Fired fired;
};

TEST_F(Triggers, TimerFiresOnceAfterItsTicks) {
  const std::int32_t timer = d.AddTimerTrigger();
  ASSERT_EQ(d.SetTimerTrigger(timer, 3, true), 0);
  clock.advance(std::chrono::milliseconds{165});  // reaching the expiry is not passing it
  d.Line().Feed({0});                             // a pass runs at least every 50 ms anyway
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 1; }));
  EXPECT_EQ(fired.Count(timer), 0u);
  clock.advance(std::chrono::milliseconds{55});
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(timer) == 1; }));
  const auto call = fired.Calls().back();
  EXPECT_EQ(call.msg, apw_TriggerTimer);
  EXPECT_EQ(call.data, 0);
  clock.advance(std::chrono::seconds{10});
  d.Line().Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 2; }));
  EXPECT_EQ(fired.Count(timer), 1u);
  // Ticks 0 restarts it with the ticks it had.
  ASSERT_EQ(d.SetTimerTrigger(timer, 0, true), 0);
  clock.advance(std::chrono::milliseconds{4 * 55});
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(timer) == 2; }));
  // Deactivated, it stays quiet.
  ASSERT_EQ(d.SetTimerTrigger(timer, 1, true), 0);
  ASSERT_EQ(d.SetTimerTrigger(timer, 1, false), 0);
  clock.advance(std::chrono::seconds{1});
  d.Line().Feed({2});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 3; }));
  EXPECT_EQ(fired.Count(timer), 2u);
}

TEST_F(Triggers, ModemStatusTriggerFiresOncePerArming) {
  const std::int32_t modem = d.AddStatusTrigger(stModem);
  ASSERT_EQ(d.SetStatusTrigger(modem, MS_CTS_ON, true), 0);  // armed while CTS is on
  d.Line().SetModemLines(MS_DSR_ON);                         // CTS goes off
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(modem) == 1; }));
  EXPECT_EQ(fired.Calls().back().msg, apw_TriggerStatus);
  d.Line().SetModemLines(MS_DSR_ON | MS_CTS_ON);
  d.Line().SetModemLines(MS_DSR_ON);
  d.Line().Feed({0});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 1; }));
  EXPECT_EQ(fired.Count(modem), 1u);
  ASSERT_EQ(d.SetStatusTrigger(modem, MS_CTS_ON, true), 0);  // armed while CTS is off
  d.Line().SetModemLines(MS_DSR_ON | MS_CTS_ON);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(modem) == 2; }));
  // Another line than the masked one changes nothing.
  ASSERT_EQ(d.SetStatusTrigger(modem, MS_CTS_ON, true), 0);
  d.Line().SetModemLines(MS_CTS_ON);
  d.Line().Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 2; }));
  EXPECT_EQ(fired.Count(modem), 2u);
}

TEST_F(Triggers, LineErrorTriggerWatchesTranslatedBits) {
  const std::int32_t line = d.AddStatusTrigger(stLine);
  ASSERT_EQ(d.SetStatusTrigger(line, lsBreak, true), 0);
  TTriggerSnapshot snapshot;
  d.SaveTriggers(snapshot);
  ASSERT_EQ(snapshot.Status->size(), 1u);
  EXPECT_EQ(snapshot.Status->front().Value, CE_BREAK);
  d.Line().RaiseLineError(CE_FRAME);  // not watched
  d.Line().Feed({0});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 1; }));
  EXPECT_EQ(fired.Count(line), 0u);
  d.Line().RaiseLineError(CE_BREAK);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(line) == 1; }));
  d.SaveTriggers(snapshot);
  EXPECT_EQ(snapshot.Status->front().Value, CE_BREAK | CE_FRAME);  // the word it fired on
  EXPECT_EQ(d.GetLineError(), leFraming);
  EXPECT_TRUE(d.CheckLineBreak());
  ASSERT_EQ(d.SetStatusTrigger(line, lsOverrun | lsParity | lsFraming, true), 0);
  d.SaveTriggers(snapshot);
  EXPECT_EQ(snapshot.Status->front().Value, CE_OVERRUN | CE_RXPARITY | CE_FRAME);
}

TEST_F(Triggers, OutputTriggersCarryTheirCounts) {
  const std::int32_t free = d.AddStatusTrigger(stOutBuffFree);
  ASSERT_EQ(d.SetStatusTrigger(free, 100, true), 0);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(free) == 1; }));
  EXPECT_EQ(fired.Calls().back().data, 4096);

  d.Line().HoldWrites(true);
  std::vector<std::uint8_t> block(10, 1);
  ASSERT_EQ(d.PutBlock(block.data(), 10), 0);
  const std::int32_t used = d.AddStatusTrigger(stOutBuffUsed);
  ASSERT_EQ(d.SetStatusTrigger(used, 5, true), 0);
  d.Line().Feed({0});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 1; }));
  EXPECT_EQ(fired.Count(used), 0u);  // 10 waiting, more than 5
  d.Line().HoldWrites(false);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(used) == 1; }));
  EXPECT_EQ(fired.Calls().back().data, 0);

  const std::int32_t sent = d.AddStatusTrigger(stOutSent);
  ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(d.PutBlock(block.data(), 1), 0);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(sent) == 1; }));
  // Not armed, it does not fire; the flag is not lost meanwhile.
  ASSERT_EQ(d.PutBlock(block.data(), 1), 0);
  d.Line().Feed({0});
  ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == 2; }));
  ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
  ASSERT_TRUE(PumpUntil([&] { return fired.Count(sent) == 2; }));
}

TEST_F(Triggers, HandlersMayChangeTriggersWhileTheChecksRun) {
  // Triggers added, set and removed from the main thread while the dispatch thread fires
  // them: no record may be read while freed (the sanitizer builds watch this).
  const std::int32_t modem = d.AddStatusTrigger(stModem);
  for (int round = 0; round < 200; ++round) {
    const std::int32_t timer = d.AddTimerTrigger();
    d.SetTimerTrigger(timer, 1, true);
    d.SetStatusTrigger(modem, MS_CTS_ON, true);
    // Counted before the clock moves: the dispatch thread may fire this round's timer at once.
    const std::size_t seen = fired.Calls().size();
    d.Line().SetModemLines(round % 2 ? MS_CTS_ON : 0);
    clock.advance(std::chrono::milliseconds{120});
    if (round % 3 == 0) {  // now and then, a removal while the dispatch thread has fired
      ASSERT_TRUE(PumpUntil([&] { return fired.Calls().size() > seen; })) << round;
    }
    d.RemoveTrigger(timer);
  }
  EXPECT_GT(fired.Calls().size(), 0u);
}

TEST(TriggerSnapshots, SurviveAReopenAndMayShareHandles) {
  platform::ManualClock clock;
  TTriggerSnapshot snapshot;
  {
    ScriptedDevice first(clock);
    ASSERT_EQ(first.Open(), 0);
    first.SetTriggerLength(1);
    const std::int32_t timer = first.AddTimerTrigger();
    first.SetTimerTrigger(timer, 18, true);
    first.AddStatusTrigger(stOutSent);
    first.SaveTriggers(snapshot);
    first.DonePort();
  }
  ASSERT_TRUE(snapshot.Timers && snapshot.Status && snapshot.Data);
  EXPECT_EQ(snapshot.LengthTrigger, 1u);
  ScriptedDevice second(clock);
  Fired fired;
  second.AddEventHandler(MakeEventHandler<&Fired::Handle>(&fired));
  ASSERT_EQ(second.Open(), 0);
  second.RestoreTriggers(snapshot);
  TTriggerSnapshot again;
  second.SaveTriggers(again);
  EXPECT_EQ(again.Timers->size(), 1u);
  EXPECT_EQ(again.Status->front().Handle, 16 | stOutSent);
  EXPECT_EQ(again.LengthTrigger, 1u);
  // The counter was not restored: the next handle is 8 again, shared with the restored timer.
  const std::int32_t fresh = second.AddTimerTrigger();
  EXPECT_EQ(fresh, 8);
  EXPECT_EQ(second.SetTimerTrigger(8, 2, true), 0);  // the first in list order: the restored
  second.SaveTriggers(again);
  EXPECT_EQ(again.Timers->at(0).Ticks, 2);
  EXPECT_EQ(again.Timers->at(1).Ticks, 0);
  EXPECT_EQ(second.RemoveTrigger(8), 0);
  second.SaveTriggers(again);
  ASSERT_EQ(again.Timers->size(), 1u);
  EXPECT_EQ(again.Timers->front().Ticks, 0);  // the restored one went first
  TApdBaseDispatcher::FreeTriggerSnapshot(again);
  EXPECT_FALSE(again.Timers || again.Status || again.Data);
  second.DonePort();
}

}  // namespace
}  // namespace velmora::serial
