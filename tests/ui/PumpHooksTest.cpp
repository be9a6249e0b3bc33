#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include "core/Delay.h"
#include "platform/MessagePump.h"
#include "ui/qt/PumpHooks.h"

namespace velmora::test {
namespace {

using platform::Message;
using platform::MessagePump;
using platform::MessageWindow;
using ui::qt::PumpHooks;

TEST(PumpHooks, QtsLoopHandlesPostedMessages) {
  PumpHooks hooks;
  int handled = 0;
  MessageWindow window([&](const Message&) -> std::intptr_t { return ++handled; });
  window.post(platform::WM_USER);
  window.post(platform::WM_USER);
  EXPECT_TRUE(QTest::qWaitFor([&] { return handled == 2; }, 20000));
  EXPECT_EQ(MessagePump::current().waitingCount(), 0u);
}

TEST(PumpHooks, DelayKeepsQtsEventsAndThePumpGoing) {
  PumpHooks hooks;
  bool qtEvent = false;
  int handled = 0;
  MessageWindow window([&](const Message&) -> std::intptr_t { return ++handled; });
  QTimer::singleShot(0, [&] {
    qtEvent = true;
    window.post(platform::WM_USER);  // arrives while Delay waits
  });
  core::Delay(50, true);
  EXPECT_TRUE(qtEvent);
  EXPECT_EQ(handled, 1);
}

TEST(PumpHooks, NestedPassesStayBoundedAndLoseNothing) {
  PumpHooks hooks;
  int handled = 0;
  int depth = 0;
  int deepest = 0;
  std::unique_ptr<MessageWindow> window;
  // Each message posts the next and lets Qt run, so that the next wake-up arrives nested.
  window = std::make_unique<MessageWindow>([&](const Message& message) -> std::intptr_t {
    ++depth;
    deepest = std::max(deepest, depth);
    ++handled;
    if (message.wParam > 0) window->post(platform::WM_USER, message.wParam - 1);
    QCoreApplication::processEvents();
    --depth;
    return 0;
  });
  window->post(platform::WM_USER, 200);
  EXPECT_TRUE(QTest::qWaitFor([&] { return handled == 201; }, 20000));
  EXPECT_LE(deepest, PumpHooks::kMaxNesting);
}

// A close asked for while a handler switches a device (the user's, or SIGTERM's) ends the loop
// from a pass nested in the handler's delay, which takes the loop's wake-up: the pass below
// must still wake, not sleep until its next event.
TEST(PumpHooks, ADelayLeavesTheLoopBelowItAwake) {
  PumpHooks hooks;
  bool slept = false;
  // Far off, as a timer of the window's would be.
  QTimer next;
  next.setSingleShot(true);
  QObject::connect(&next, &QTimer::timeout, [&] { slept = true; });
  next.start(20000);
  core::Delay(20, true);
  QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
  EXPECT_FALSE(slept);
}

TEST(PumpHooks, AfterTheHooksAreGonePostsWaitForThePump) {
  int handled = 0;
  MessageWindow window([&](const Message&) -> std::intptr_t { return ++handled; });
  { PumpHooks hooks; }
  window.post(platform::WM_USER);
  QCoreApplication::processEvents();
  EXPECT_EQ(handled, 0);
  MessagePump::current().processMessages();
  EXPECT_EQ(handled, 1);
}

}  // namespace
}  // namespace velmora::test
