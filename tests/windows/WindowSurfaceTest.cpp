// The Win32 main window as the window surface that the bridge and the handlers drive, on device
// doubles, under Wine (with Xvfb's display).

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/Doubles.h"
#include "core/SteppingClock.h"
#include "ui/win32/ErrorReport.h"
#include "ui/win32/MainWindow.h"

namespace velmora::ui::win32 {
namespace {

using core::DeviceList;

// Runs the UI thread's message loop until `done` holds; false after a generous bound.
bool LoopUntil(const std::function<bool()>& done) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pump.processMessages();
    pump.waitMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
  }
  return true;
}

struct WindowSurfaceTest : ::testing::Test {
  test::FakeFactory factory;
  test::SteppingClock clock;
  core::Bridge bridge{factory, clock};
  MainWindow window{bridge};
};

TEST_F(WindowSurfaceTest, ListsAndLogKeepTheirTextsAndSelections) {
  for (const auto list : {DeviceList::ComPort, DeviceList::MidiIn, DeviceList::MidiOut}) {
    window.ListAppend(list, "COM3");
    window.ListAppend(list, "Clavier « é » 1");
    EXPECT_EQ(window.ListSelected(list), -1);
    window.ListSetSelected(list, 1);
    EXPECT_EQ(window.ListSelectedText(list), "Clavier « é » 1");
    window.ListDelete(list, 1);
    EXPECT_EQ(window.ListSelected(list), -1);
    EXPECT_EQ(window.ListCount(list), 1);
    EXPECT_THROW(window.ListItem(list, 1), std::out_of_range);
    window.ListClear(list);
    EXPECT_EQ(window.ListCount(list), 0);
  }
  window.LogAppend("[Com-Rx] - 90 3C 64");
  window.LogAppend("Réglages ignorés");
  window.LogSetSelected(1);
  EXPECT_EQ(window.LogSelected(), 1);
  EXPECT_EQ(window.LogLine(1), "Réglages ignorés");
  window.LogDelete(0);
  EXPECT_EQ(window.LogCount(), 1);
  EXPECT_THROW(window.LogDelete(3), std::out_of_range);
  window.LogClear();
  EXPECT_EQ(window.LogCount(), 0);
  window.SetStatusText(1, "1,38400,8,1,pNone");
  EXPECT_EQ(window.StatusText(1), "1,38400,8,1,pNone");
  window.SetShapeColor(core::Shape::MidiIn, core::kOpenColor);
  EXPECT_EQ(window.ShapeColor(core::Shape::MidiIn), core::kOpenColor);
  window.SetLampLit(core::Lamp::CPRx, true);
  EXPECT_EQ(window.LampOf(core::Lamp::CPRx).CurrentColor(), serial::clLime);
}

TEST_F(WindowSurfaceTest, TimersTickUntilDisabledAndCloseEndsTheLoop) {
  int ticks = 0;
  window.SetOnTimer(core::Timer::MidiOut, [&] {
    ++ticks;
    window.SetTimerEnabled(core::Timer::MidiOut, false);
  });
  window.SetTimerEnabled(core::Timer::MidiOut, true);
  EXPECT_TRUE(window.TimerEnabled(core::Timer::MidiOut));
  EXPECT_TRUE(LoopUntil([&] { return ticks == 1; }));
  EXPECT_FALSE(window.TimerEnabled(core::Timer::MidiOut));

  auto& pump = platform::MessagePump::current();
  PostMessageW(window.Handle(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(LoopUntil([&] { return pump.quitRequested(); }));
  EXPECT_EQ(window.Handle(), nullptr);
  pump.resetQuit();
}

TEST(ErrorReport, ShowsAMessageOnceWhileItRepeatsAndOthersAtOnce) {
  test::SteppingClock clock;
  ErrorReport errors(clock);
  std::vector<std::string> shown;
  errors.SetShow([&](const std::string& message) {
    shown.push_back(message);
    errors.Report(message);  // a repeat while the box is open
  });
  for (const char* message : {"Port introuvable", "Port introuvable", "MIDI fermé"}) {
    errors.Report(message);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"Port introuvable", "MIDI fermé"}));
}

}  // namespace
}  // namespace velmora::ui::win32
