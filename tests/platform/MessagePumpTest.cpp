#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/MessagePump.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using velmora::platform::Message;
using velmora::platform::MessagePump;
using velmora::platform::MessageWindow;
using velmora::platform::WindowRef;
using velmora::platform::WM_TIMER;
using velmora::platform::WM_USER;
using velmora::testing::PumpUntil;
using velmora::testing::WaitUntil;

TEST(MessagePump, PostsFromManyThreadsKeepEachThreadsOrder) {
  std::vector<std::pair<std::uintptr_t, std::intptr_t>> seen;
  MessageWindow window([&](const Message& m) {
    seen.emplace_back(m.wParam, m.lParam);
    return 0;
  });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([ref = window.ref(), t] {
      for (int i = 0; i < kPerThread; ++i) ASSERT_TRUE(ref.post(WM_USER, t, i));
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == kThreads * kPerThread; }));
  std::vector<std::intptr_t> last(kThreads, -1);
  for (auto [thread, index] : seen) {
    EXPECT_EQ(index, last[thread] + 1);
    last[thread] = index;
  }
}

TEST(MessagePump, SendWaitsForTheAnswerAndRunsAtOnceOnItsOwnThread) {
  MessageWindow window([](const Message& m) { return static_cast<std::intptr_t>(m.wParam * 2); });
  EXPECT_EQ(window.ref().send(WM_USER, 21), 42);  // own thread: no queue

  std::optional<std::intptr_t> answer;
  std::atomic<bool> answered = false;
  std::thread sender([&, ref = window.ref()] {
    answer = ref.sendTimeout(WM_USER, 5, 0, 10s);
    answered = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }));
  sender.join();
  EXPECT_EQ(answer, 10);
}

TEST(MessagePump, SendTimesOutWhileThePumpIsBusyAndIsNeverHandledLate) {
  int handled = 0;
  MessageWindow window([&](const Message&) { return ++handled; });
  std::optional<std::intptr_t> answer = 1;
  std::thread sender([&, ref = window.ref()] { answer = ref.sendTimeout(WM_USER, 0, 0, 20ms); });
  sender.join();  // the pump thread never looked at its queue meanwhile
  EXPECT_FALSE(answer.has_value());
  MessagePump::current().processMessages();
  EXPECT_EQ(handled, 0);
}

TEST(MessagePump, DestroyingAWindowReleasesItsSenderAndDropsItsPosts) {
  int handled = 0;
  auto window = std::make_unique<MessageWindow>([&](const Message&) { return ++handled; });
  const WindowRef ref = window->ref();
  ref.post(WM_USER);
  std::optional<std::intptr_t> answer = 7;
  std::atomic<bool> returned = false;
  std::thread sender([&] {
    answer = ref.send(WM_USER);
    returned = true;
  });
  const bool queued = WaitUntil([] { return MessagePump::current().waitingCount() >= 2; });
  window.reset();
  sender.join();
  ASSERT_TRUE(queued) << "the send never queued behind the post";
  EXPECT_TRUE(returned);
  EXPECT_FALSE(answer.has_value());
  MessagePump::current().processMessages();
  EXPECT_EQ(handled, 0);
  EXPECT_FALSE(ref.alive());
  EXPECT_FALSE(ref.post(WM_USER));
}

TEST(MessagePump, HandlersMayProcessMessagesNested) {
  std::vector<int> order;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message& m) {
    order.push_back(static_cast<int>(m.wParam));
    if (m.wParam == 1) {
      window->post(WM_USER, 3);
      MessagePump::current().processMessages();  // handles 2 and 3 inside 1
      order.push_back(10);
    }
    return 0;
  });
  window->post(WM_USER, 1);
  window->post(WM_USER, 2);
  MessagePump::current().processMessages();
  MessagePump::current().processMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 10}));
}

TEST(MessagePump, AProcessingPassHandlesOnlyWhatWaitedWhenItBegan) {
  int handled = 0;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message&) {
    ++handled;
    window->post(WM_USER);  // a handler that always posts again
    return 0;
  });
  window->post(WM_USER);
  MessagePump::current().processMessages();
  EXPECT_EQ(handled, 1);
}

TEST(MessagePump, TimersRepeatUntilKilled) {
  std::map<std::uintptr_t, int> ticks;
  MessageWindow window([&](const Message& m) {
    if (m.id == WM_TIMER) ++ticks[m.wParam];
    return 0;
  });
  window.setTimer(7, 1ms);
  ASSERT_TRUE(PumpUntil([&] { return ticks[7] >= 3; }));
  window.killTimer(7);
  const int after = ticks[7];
  window.setTimer(8, 1ms);  // due no sooner than 7's next tick: 7 would come first
  ASSERT_TRUE(PumpUntil([&] { return ticks[8] > 0; }));
  EXPECT_EQ(ticks[7], after);
}

TEST(MessagePump, ErrorsLeavingAHandlerGoToTheErrorReport) {
  std::vector<std::string> reported;
  MessagePump::current().setErrorReport([&](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reported.emplace_back(e.what());
    }
  });
  MessageWindow window([](const Message&) -> std::intptr_t { throw std::runtime_error("boom"); });
  window.post(WM_USER);
  MessagePump::current().processMessages();
  MessagePump::current().setErrorReport(nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{"boom"});
}

TEST(MessagePump, WaitMessageWakesForAPostFromAnotherThread) {
  MessageWindow window([](const Message&) { return 0; });
  std::atomic<bool> waiting = false;
  std::thread poster([&, ref = window.ref()] {
    // Most often the post then comes while the pump already waits.
    EXPECT_TRUE(WaitUntil([&] { return waiting.load(); }));
    ref.post(WM_USER);
  });
  waiting = true;
  EXPECT_TRUE(MessagePump::current().waitMessage(std::chrono::steady_clock::now() + 10s));
  poster.join();
  MessagePump::current().processMessages();
}

#ifndef _WIN32
// A device's input taken by the pump's own thread: the handler runs there when another thread
// makes the descriptor readable, and posts still end the wait while it is watched.
TEST(MessagePump, AWatchedDescriptorIsHandledOnThePumpsThreadAndPostsStillWake) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  auto& pump = MessagePump::current();
  MessageWindow window([](const Message&) { return 0; });
  std::vector<std::thread::id> handledOn;
  pump.setReadyDescriptor(ends[0], [&] {
    char byte = 0;
    while (read(ends[0], &byte, 1) == 1) {
    }
    handledOn.push_back(std::this_thread::get_id());
    window.post(WM_USER);  // as a MIDI service hands its input over
  });
  std::thread writer([&] {
    const char byte = 1;
    EXPECT_EQ(write(ends[1], &byte, 1), 1);
  });
  EXPECT_TRUE(pump.waitMessage(std::chrono::steady_clock::now() + 10s));
  writer.join();
  ASSERT_EQ(handledOn.size(), 1u);
  EXPECT_EQ(handledOn[0], std::this_thread::get_id());
  pump.processMessages();

  std::thread poster([ref = window.ref()] { ref.post(WM_USER); });
  EXPECT_TRUE(pump.waitMessage(std::chrono::steady_clock::now() + 10s));
  poster.join();
  EXPECT_EQ(handledOn.size(), 1u);
  pump.setReadyDescriptor(-1, nullptr);
  pump.processMessages();
  close(ends[0]);
  close(ends[1]);
}
#endif
