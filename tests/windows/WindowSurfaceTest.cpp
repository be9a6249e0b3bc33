// The Win32 main window as the window surface that the bridge and the handlers drive, on device
// doubles, under Wine (with Xvfb's display).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/Doubles.h"
#include "core/SteppingClock.h"
#include "ui/win32/Dialogs.h"
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

// Acts on the box that a call opens, from a timer that the box's own modal loop runs.
struct BoxDriver {
  std::function<void(HWND box)> act;
  bool acted = false;
};

void CALLBACK driveBox(HWND owner, UINT, UINT_PTR id, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM found) -> BOOL {
        wchar_t type[16] = {};
        GetClassNameW(window, type, 16);
        if (std::wstring(type) != L"#32770" || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&box));
  if (box == nullptr) return;
  KillTimer(owner, id);
  auto* driver = reinterpret_cast<BoxDriver*>(id);
  driver->acted = true;
  driver->act(box);
}

std::vector<std::wstring> textsOf(HWND box) {
  std::vector<std::wstring> texts;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        wchar_t text[128] = {};
        GetWindowTextW(child, text, 128);
        if (text[0] != L'\0') reinterpret_cast<std::vector<std::wstring>*>(data)->push_back(text);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  return texts;
}

std::wstring titleOf(HWND window) {
  wchar_t text[128] = {};
  GetWindowTextW(window, text, 128);
  return text;
}

TEST_F(WindowSurfaceTest, LineSettingsBoxTakesOnlyASpeedTheCommandLineTakes) {
  BoxDriver driver{[](HWND box) {
    EXPECT_EQ(titleOf(box), L"Paramètres du port");
    HWND ok = GetDlgItem(box, IDOK);
    SetDlgItemTextW(box, 301, L"fast");
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(301, CBN_EDITCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, 301)));
    EXPECT_FALSE(IsWindowEnabled(ok));
    SetDlgItemTextW(box, 301, L"31250");
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(301, CBN_EDITCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, 301)));
    EXPECT_TRUE(IsWindowEnabled(ok));
    SendDlgItemMessageW(box, 303, CB_SETCURSEL, 2, 0);  // "Paire"
    SendDlgItemMessageW(box, 304, CB_SETCURSEL, 1, 0);  // 2 stop bits
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  SetTimer(window.Handle(), reinterpret_cast<UINT_PTR>(&driver), 20, &driveBox);
  const auto line = ChooseLineSettings(window.Handle(), core::LineSettings{});
  ASSERT_TRUE(driver.acted);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, (core::LineSettings{31250, 8, serial::TParity::pEven, 2}));
}

TEST_F(WindowSurfaceTest, AboutAndPortBoxesShowTheirTextsAndClose) {
  BoxDriver about{[](HWND box) {
    EXPECT_EQ(titleOf(box), L"A propos...");
    RECT client{};
    GetClientRect(box, &client);
    EXPECT_EQ(client.right, 305);
    EXPECT_EQ(client.bottom, 193);
    const auto texts = textsOf(box);
    for (const wchar_t* text : {L"Vel", L"mora", L"Version :", L"Commentaires :",
                                L"MIDI ↔ RS232, 38400 bauds", L"Remerciements", L"OK"}) {
      EXPECT_NE(std::find(texts.begin(), texts.end(), text), texts.end()) << text;
    }
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  SetTimer(window.Handle(), reinterpret_cast<UINT_PTR>(&about), 20, &driveBox);
  window.ShowAboutBox();
  EXPECT_TRUE(about.acted);

  BoxDriver ports{[](HWND box) {
    EXPECT_EQ(titleOf(box), L"Select Port");
    const auto texts = textsOf(box);
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Please choose another port."), texts.end());
    SendMessageW(box, WM_COMMAND, IDCANCEL, 0);
  }};
  SetTimer(window.Handle(), reinterpret_cast<UINT_PTR>(&ports), 20, &driveBox);
  EXPECT_EQ(ChooseComPort(window.Handle()), 0);
  EXPECT_TRUE(ports.acted);
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
