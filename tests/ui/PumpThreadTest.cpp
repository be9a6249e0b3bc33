#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <thread>

#include "platform/MessagePump.h"
#include "ui/qt/PumpHooks.h"

namespace velmora::test {
namespace {

using platform::Message;
using platform::MessageWindow;

TEST(PumpHooksThreads, PostsAndSendsFromAnotherThreadRunOnQtsLoop) {
  ui::qt::PumpHooks hooks;
  constexpr int kPosts = 2000;
  const auto uiThread = std::this_thread::get_id();
  int handled = 0;  // UI thread only
  bool wrongThread = false;
  QEventLoop loop;
  MessageWindow window([&](const Message& message) -> std::intptr_t {
    if (std::this_thread::get_id() != uiThread) wrongThread = true;
    ++handled;
    if (handled == kPosts + 1) loop.quit();
    return static_cast<std::intptr_t>(message.wParam) * 2;
  });
  std::atomic<std::intptr_t> answer{0};
  std::thread producer([ref = window.ref(), &answer] {
    for (int i = 0; i < kPosts; ++i) ref.post(platform::WM_USER, static_cast<std::uintptr_t>(i));
    answer = ref.send(platform::WM_USER, 21).value_or(-1);
  });
  QTimer::singleShot(20000, &loop, [&] { loop.exit(1); });  // a bound, not a measurement
  const int result = loop.exec();
  producer.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(handled, kPosts + 1);
  EXPECT_FALSE(wrongThread);
  EXPECT_EQ(answer.load(), 42);
}

}  // namespace
}  // namespace velmora::test
