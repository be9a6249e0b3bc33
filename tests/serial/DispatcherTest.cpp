// The dispatcher core over the scripted device: rings, notification, handlers, closing.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "serial/AdExcept.h"
#include "serial/AwUser.h"
#include "tests/serial/ScriptedDevice.h"

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

using testing::ScriptedDevice;
using testing::WaitUntil;
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
        EXPECT_EQ(d_.GetBlock(call.taken.data(), n), static_cast<std::int32_t>(n));
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
  EXPECT_EQ(d.DeviceSettings().BaudRate, 38400u);
  const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
  EXPECT_EQ(d.PutBlock(bytes, 3), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.Written().size() == 3; }));
  EXPECT_EQ(d.Written(), std::vector<std::uint8_t>(bytes, bytes + 3));
  ASSERT_TRUE(WaitUntil([&] { return d.OutBuffUsed() == 0; }));
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
  ASSERT_EQ(d.Open(), 0);
  d.SetTriggerLength(1);
  d.Feed({'a', 'b', 'c'});
  ASSERT_TRUE(WaitUntil([&] { return second.Count() == 1; }));
  const auto a = first.Calls();
  const auto b = second.Calls();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].msg, apw_TriggerAvail);
  EXPECT_EQ(a[0].wParam, 3u);
  EXPECT_EQ(a[0].lParam, d.Handle() << 16);
  EXPECT_EQ(a[0].taken, (std::vector<std::uint8_t>{'a'}));
  EXPECT_EQ(b[0].taken, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  ASSERT_TRUE(WaitUntil([&] { return Access::Tail(d) == 3; }));
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();
}

}  // namespace
}  // namespace velmora::serial
