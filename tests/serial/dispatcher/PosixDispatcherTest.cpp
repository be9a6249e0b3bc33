#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/serial/SerialError.h"
#include "serial/dispatcher/PosixDispatcher.h"
#include "support/PtyPair.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using velmora::serial::TApdEventHandler;
using velmora::serial::TApdPosixDispatcher;
using velmora::testing::PtyPair;
using velmora::testing::WaitUntil;
namespace serial = velmora::serial;
namespace testing_ = velmora::testing;

namespace {

constexpr std::uint32_t kAvail = 0x7E01;

// Takes every announced byte during the avail notification, as the packet engine does, and
// remembers what each notification announced.
class Receiver {
 public:
  explicit Receiver(TApdPosixDispatcher& dispatcher) : dispatcher_(dispatcher) {
    dispatcher_.AddEventHandler(serial::MakeEventHandler<&Receiver::OnNotify>(this));
    dispatcher_.SetTriggerLength(1);
  }

  void OnNotify(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
    if (msg == serial::apw_TriggerStatus) ++statusNotes;
    if (msg != kAvail || !taking) return;
    std::vector<std::uint8_t> packet(wParam);
    const std::int32_t got = dispatcher_.GetBlock(packet.data(), wParam);
    std::lock_guard lock(mutex_);
    announced_.push_back(wParam);
    handles_.push_back(static_cast<std::uint32_t>(lParam) >> 16);
    if (got == static_cast<std::int32_t>(wParam)) {
      bytes_.insert(bytes_.end(), packet.begin(), packet.end());
    } else {
      failedTakes_++;
    }
  }

  std::vector<std::uint8_t> bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  std::vector<std::uint32_t> announced() const {
    std::lock_guard lock(mutex_);
    return announced_;
  }
  std::vector<std::uint32_t> handles() const {
    std::lock_guard lock(mutex_);
    return handles_;
  }
  int failedTakes() const {
    std::lock_guard lock(mutex_);
    return failedTakes_;
  }
  bool waitBytes(std::size_t count) const {
    return WaitUntil([&] { return bytes().size() >= count; });
  }

  std::atomic<bool> taking{true};
  std::atomic<int> statusNotes{0};

 private:
  TApdPosixDispatcher& dispatcher_;
  mutable std::mutex mutex_;  // the dispatch thread writes, the test reads
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint32_t> announced_;
  std::vector<std::uint32_t> handles_;
  int failedTakes_ = 0;
};

std::int32_t open(TApdPosixDispatcher& dispatcher, const std::string& path,
                  std::uint32_t baud = 38400, std::uint32_t outSize = 4096) {
  return dispatcher.InitPort(path, baud, 0, 8, 1, 4096, outSize, 0x01 | 0x02);
}

std::int32_t put(TApdPosixDispatcher& dispatcher, std::vector<std::uint8_t> bytes) {
  return dispatcher.PutBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace

TEST(TApdPosixDispatcher, BytesTravelBothWaysInEitherOrder) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
  Receiver receiver(dispatcher);

  // The far end speaks first, then the port.
  pty.write({0x90, 0x3C, 0x64});
  ASSERT_TRUE(receiver.waitBytes(3));
  EXPECT_EQ(receiver.bytes(), (std::vector<std::uint8_t>{0x90, 0x3C, 0x64}));
  ASSERT_EQ(put(dispatcher, {0xB0, 0x07, 0x7F}), 0);
  EXPECT_EQ(pty.read(3), (std::vector<std::uint8_t>{0xB0, 0x07, 0x7F}));

  // The port first, then the far end.
  ASSERT_EQ(put(dispatcher, {0xC0, 0x05}), 0);
  EXPECT_EQ(pty.read(2), (std::vector<std::uint8_t>{0xC0, 0x05}));
  pty.write({0xF8});
  ASSERT_TRUE(receiver.waitBytes(4));
  EXPECT_EQ(receiver.bytes().back(), 0xF8);

  EXPECT_TRUE(WaitUntil([&] { return dispatcher.OutBuffUsed() == 0; }));
  dispatcher.DonePort();
  EXPECT_FALSE(dispatcher.Started());
}

namespace {

// The threads of this process with this name.
int ThreadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

// The POSIX dispatcher, remembering how long each wait for the device that its dispatch thread
// asks for may last.
class WaitRecorder : public TApdPosixDispatcher {
 public:
  WaitRecorder() : TApdPosixDispatcher(nullptr) {}
  ~WaitRecorder() override { Finalize(); }  // its threads call the override below
  // Those shorter than a minute.
  long shortWaits() const {
    std::lock_guard lock(mutex_);
    return std::count_if(waits_.begin(), waits_.end(), [](auto wait) { return wait < 1min; });
  }
  // Whether the dispatch thread is in one now.
  bool waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 protected:
  std::int32_t WaitComEventFor(std::uint32_t& mask, std::chrono::milliseconds timeout) override {
    {
      std::lock_guard lock(mutex_);
      waits_.push_back(timeout);
      waiting_ = true;
    }
    const std::int32_t got = TApdPosixDispatcher::WaitComEventFor(mask, timeout);
    std::lock_guard lock(mutex_);
    waiting_ = false;
    return got;
  }

 private:
  mutable std::mutex mutex_;  // the dispatch thread writes, the test reads
  std::vector<std::chrono::milliseconds> waits_;
  bool waiting_ = false;
};

}  // namespace

// The dispatch thread waits for the device itself: no com thread hands it each block. With
// nothing to time it sleeps until something happens; a running timer trigger brings its passes
// back, and a write wakes it for a "sent" trigger at once.
TEST(TApdPosixDispatcher, AnOpenPortRunsADispatchAndAnOutputThreadOnly) {
  PtyPair pty;
  WaitRecorder dispatcher;
  ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
  Receiver receiver(dispatcher);
  pty.write({0xF8});
  ASSERT_TRUE(receiver.waitBytes(1));
  EXPECT_EQ(ThreadsNamed("serial-dispatch"), 1);
  EXPECT_EQ(ThreadsNamed("serial-out"), 1);
  EXPECT_EQ(ThreadsNamed("serial-com"), 0);

  // Back in a wait after the byte's notification: like those before it, it has no end near.
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.waiting(); }));
  EXPECT_EQ(dispatcher.shortWaits(), 0);

  const std::int32_t timer = dispatcher.AddTimerTrigger();
  ASSERT_GT(timer, 0);
  ASSERT_EQ(dispatcher.SetTimerTrigger(timer, 1000, true), 0);
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.shortWaits() >= 2; }));
  ASSERT_EQ(dispatcher.RemoveTrigger(timer), 0);

  const std::int32_t sentTrigger = dispatcher.AddStatusTrigger(serial::stOutSent);
  ASSERT_GT(sentTrigger, 0);
  ASSERT_EQ(dispatcher.SetStatusTrigger(sentTrigger, 0, true), 0);
  const std::uint8_t byte = 0xFE;
  ASSERT_EQ(dispatcher.PutBlock(&byte, 1), 0);
  EXPECT_TRUE(WaitUntil([&] { return receiver.statusNotes.load() == 1; }));
  dispatcher.DonePort();
  EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("serial-dispatch") == 0; }));
}

TEST(TApdPosixDispatcher, AvailNotificationsAnnounceThePacketTheyCarry) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
  Receiver receiver(dispatcher);

  std::vector<std::uint8_t> sent;
  for (std::uint8_t round = 0; round < 20; ++round) {
    const std::vector<std::uint8_t> group = {static_cast<std::uint8_t>(0x80 | round), round, 0x40};
    pty.write(group);
    sent.insert(sent.end(), group.begin(), group.end());
    ASSERT_TRUE(receiver.waitBytes(sent.size())) << "round " << int(round);
  }
  EXPECT_EQ(receiver.bytes(), sent);
  EXPECT_EQ(receiver.failedTakes(), 0);
  const auto announced = receiver.announced();
  // Each announcement carries exactly the bytes then waiting, all taken at once.
  EXPECT_EQ(std::accumulate(announced.begin(), announced.end(), 0u), sent.size());
  for (const auto handle : receiver.handles()) {
    EXPECT_EQ(handle, static_cast<std::uint32_t>(dispatcher.Handle()));
  }
  EXPECT_EQ(dispatcher.InBuffUsed(), 0u);
  dispatcher.DonePort();
}

TEST(TApdPosixDispatcher, AHundredThousandBytesArriveWholeAndInOrder) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath(), 38400, 8192), 0);

  constexpr std::size_t kTotal = 100000;
  std::vector<std::uint8_t> block(kTotal);
  for (std::size_t i = 0; i < kTotal; ++i)
    block[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);

  std::vector<std::uint8_t> received;
  std::thread farEnd([&] { received = pty.read(kTotal, 60s); });

  std::size_t sent = 0;
  std::int32_t refusal = -3006;  // no room yet: all or nothing, try again
  WaitUntil(
      [&] {
        const std::uint32_t chunk =
            static_cast<std::uint32_t>(std::min<std::size_t>(3000, kTotal - sent));
        const std::int32_t result = dispatcher.PutBlock(block.data() + sent, chunk);
        if (result == 0) sent += chunk;
        if (result < 0) refusal = result;
        return sent == kTotal || refusal != -3006;
      },
      60s);
  farEnd.join();
  EXPECT_EQ(refusal, -3006);
  EXPECT_EQ(sent, kTotal);
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_TRUE(received == block);
  dispatcher.DonePort();
}

// Short blocks go straight to the device while nothing waits, and through the output ring
// while the far end stalls: either way they must leave in the order they were put.
TEST(TApdPosixDispatcher, ShortBlocksKeepTheirOrderWhileTheFarEndStallsAndResumes) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath(), 38400, 8192), 0);

  constexpr std::uint32_t kMessages = 60000;
  std::vector<std::uint8_t> expected;
  expected.reserve(kMessages * 3);
  for (std::uint32_t n = 0; n < kMessages; ++n) {
    expected.insert(expected.end(), {static_cast<std::uint8_t>(0x90 | ((n >> 14) & 0x0F)),
                                     static_cast<std::uint8_t>((n >> 7) & 0x7F),
                                     static_cast<std::uint8_t>(n & 0x7F)});
  }
  // The far end reads only when a block is refused: the device's queue and the output ring
  // fill and empty many times over.
  std::vector<std::uint8_t> received;
  int refused = 0;
  for (std::size_t at = 0; at < expected.size();) {
    const std::int32_t result = dispatcher.PutBlock(expected.data() + at, 3);
    if (result == 0) {
      at += 3;
      continue;
    }
    ASSERT_EQ(result, -3006);
    ++refused;
    const auto more = pty.read(5000, 20ms);
    received.insert(received.end(), more.begin(), more.end());
  }
  const auto rest = pty.read(expected.size() - received.size(), 10s);
  received.insert(received.end(), rest.begin(), rest.end());
  EXPECT_GT(refused, 10);
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  dispatcher.DonePort();
}

TEST(TApdPosixDispatcher, UntakenBytesWaitInTheDeviceAndFlowOnOnceTaken) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
  Receiver receiver(dispatcher);
  receiver.taking = false;

  std::vector<std::uint8_t> sent(10000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i % 251);
  pty.write(sent);
  // The dispatch buffer fills up and the rest stays in the device, readable all the while.
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.InBuffUsed() == 8192; }));

  // Room made outside a notification lets the rest in, announced as it comes.
  receiver.taking = true;
  std::vector<std::uint8_t> got(8192);
  ASSERT_EQ(dispatcher.GetBlock(got.data(), 8192), 8192);
  ASSERT_TRUE(receiver.waitBytes(sent.size() - 8192));
  const auto rest = receiver.bytes();
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_TRUE(got == sent);
  dispatcher.DonePort();
}

TEST(TApdPosixDispatcher, FlushAbandonsAWriteTheFarEndDoesNotTake) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath(), 38400, 8192), 0);

  // The far end reads nothing: the device's queue fills, then the output ring.
  const std::vector<std::uint8_t> chunk(1024, 0x55);
  std::size_t queued = 0;
  ASSERT_TRUE(WaitUntil([&] {
    if (put(dispatcher, chunk) == 0) queued += chunk.size();
    return dispatcher.OutBuffUsed() == 8192 || queued > (1u << 22);
  }));
  ASSERT_EQ(dispatcher.OutBuffUsed(), 8192u) << "the far end took " << queued << " bytes";

  EXPECT_EQ(dispatcher.FlushOutBuffer(), 0);
  EXPECT_EQ(dispatcher.OutBuffUsed(), 0u);

  // What comes after the flush goes out once the far end reads again.
  ASSERT_EQ(put(dispatcher, {0xAB, 0xCD}), 0);
  std::vector<std::uint8_t> seen;
  ASSERT_TRUE(WaitUntil([&] {
    const auto more = pty.read(4096, 10ms);
    seen.insert(seen.end(), more.begin(), more.end());
    return seen.size() >= 2 && seen[seen.size() - 2] == 0xAB && seen.back() == 0xCD;
  }));
  dispatcher.DonePort();
}

TEST(TApdPosixDispatcher, LineSettingsReachTheDevice) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath(), 31250), 0);
  auto t = pty.termios();
  EXPECT_EQ(t.ospeed, 31250u);
  EXPECT_TRUE(t.baudIsOther);
  EXPECT_TRUE(t.raw);

  ASSERT_EQ(dispatcher.SetLine(38400, 0, 8, 1), 0);
  t = pty.termios();
  EXPECT_EQ(t.ospeed, 38400u);
  EXPECT_FALSE(t.baudIsOther);
  EXPECT_EQ(t.dataBits, 8);
  EXPECT_FALSE(t.parity);
  EXPECT_FALSE(t.twoStopBits);

  std::uint32_t baud = 0;
  std::uint16_t parity = 9;
  std::uint8_t dataBits = 0, stopBits = 0;
  dispatcher.GetLine(baud, parity, dataBits, stopBits);
  EXPECT_EQ(baud, 38400u);
  EXPECT_EQ(parity, 0);
  EXPECT_EQ(dataBits, 8);
  EXPECT_EQ(stopBits, 1);

  ASSERT_EQ(dispatcher.SetLine(0, 5, 9, 2), 0);  // two stop bits, the rest kept
  EXPECT_TRUE(pty.termios().twoStopBits);
  EXPECT_EQ(pty.termios().ospeed, 38400u);

  ASSERT_EQ(dispatcher.SetHWFlowOptions(3072, 1024, 0x02 | 0x08), 0);
  EXPECT_TRUE(pty.termios().rtsCts);
  dispatcher.DonePort();
}

TEST(TApdPosixDispatcher, BusyPortIsAccessDeniedAndMissingIsNotFound) {
  PtyPair pty;
  TApdPosixDispatcher first(nullptr);
  ASSERT_EQ(open(first, pty.slavePath()), 0);
  TApdPosixDispatcher second(nullptr);
  EXPECT_EQ(open(second, pty.slavePath()), -5);
  EXPECT_FALSE(second.Started());

  TApdPosixDispatcher missing(nullptr);
  EXPECT_EQ(open(missing, "/dev/velmora-no-such-tty"), -2);
  first.DonePort();
  // The first one's closing frees the device for the next.
  EXPECT_EQ(open(second, pty.slavePath()), 0);
  second.DonePort();
}

TEST(TApdPosixDispatcher, FarEndClosingIsReportedOnceAndClosesCleanly) {
  PtyPair pty;
  TApdPosixDispatcher dispatcher(nullptr);
  ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
  Receiver receiver(dispatcher);
  pty.write({0x01});
  ASSERT_TRUE(receiver.waitBytes(1));

  pty.closeMaster();
  ASSERT_TRUE(WaitUntil([&] { return dispatcher.DeviceLost(); }));
  // Reported once, as a line error (framing: what a dead line looks like to a receiver).
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.GetLineError() == 4; }));
  // Writing to a lost device never blocks; the bytes are dropped.
  EXPECT_EQ(put(dispatcher, {0x90, 0x40, 0x40}), 0);
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.OutBuffUsed() == 0; }));
  EXPECT_EQ(dispatcher.GetLineError(), 0);  // and not again

  dispatcher.DonePort();
  EXPECT_FALSE(dispatcher.Started());
}

TEST(TApdPosixDispatcher, RepeatedOpenAndCloseLeaksNothing) {
  PtyPair pty;
  // One cycle first, so that lazily made process resources exist before counting.
  {
    TApdPosixDispatcher dispatcher(nullptr);
    ASSERT_EQ(open(dispatcher, pty.slavePath()), 0);
    dispatcher.DonePort();
  }
  const std::size_t descriptors = testing_::OpenDescriptorCount();
  const std::size_t threads = testing_::ThreadCount();
  for (int cycle = 0; cycle < 200; ++cycle) {
    TApdPosixDispatcher dispatcher(nullptr);
    ASSERT_EQ(open(dispatcher, pty.slavePath()), 0) << "cycle " << cycle;
    if (cycle % 20 == 0) {
      ASSERT_EQ(put(dispatcher, {static_cast<std::uint8_t>(cycle)}), 0);
    }
    dispatcher.DonePort();
  }
  EXPECT_EQ(testing_::OpenDescriptorCount(), descriptors);
  EXPECT_TRUE(WaitUntil([&] { return testing_::ThreadCount() == threads; }))
      << testing_::ThreadCount() << " threads, " << threads << " before";
}
