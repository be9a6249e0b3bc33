// The Win32 window as a view, under Wine (with Xvfb's display): it draws the snapshots a fake
// bridge publishes and posts what the user does.

#include <gtest/gtest.h>
#include <cstdio>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/MainWindowHandlers.h"
#include "ui/win32/Controls.h"
#include "ui/win32/Dialogs.h"
#include "ui/win32/MainWindow.h"
#include "ui/win32/Text.h"

#include <commctrl.h>
#include <dlgs.h>

namespace velmora::test {
namespace {

using core::Lamp;
using ui::Action;
using Kind = ui::Action::Kind;

// Stands for the bridge thread: publishes the snapshots a test makes and keeps what the view
// posts. All on the test's thread, but the wake-up, which Publish waits for.
class FakeLink final : public ui::ViewLink {
 public:
  core::WindowSnapshot Snapshot() const override { return snapshot_; }
  void Post(Action action) const override { posted.push_back(std::move(action)); }
  void SetWake(std::function<void()> wake) override { wake_ = std::move(wake); }
  std::optional<core::WindowPosition> Position() const override { return std::nullopt; }
  std::string Profile() const override { return "default"; }
  void ViewGone() override {}

  // Wakes the view from another thread, as the bridge thread does.
  void Publish(core::WindowSnapshot next) {
    next.version = snapshot_.version + 1;
    snapshot_ = std::move(next);
    std::thread([this] { wake_(); }).join();
  }
  mutable std::vector<Action> posted;

 private:
  core::WindowSnapshot snapshot_;
  std::function<void()> wake_;
};

// Handles the test thread's messages until `done` holds; false after a generous bound.
bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

std::wstring textOf(HWND control, UINT lengthMessage, UINT textMessage, WPARAM index) {
  const auto length = LOWORD(SendMessageW(control, lengthMessage, index, 0));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(control, textMessage, index, reinterpret_cast<LPARAM>(text.data()));
  return text.c_str();
}

std::wstring windowText(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
  return text.c_str();
}

// Acts on the box that a call opens, from a timer that the box's own modal loop runs.
struct BoxDriver {
  std::function<void(HWND box)> act;
  bool acted = false;
};

void CALLBACK driveBox(HWND owner, UINT, UINT_PTR id, DWORD) {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr &&
         !(IsWindowVisible(box) && GetWindowThreadProcessId(box, nullptr) == GetCurrentThreadId()))
    continue;
  if (box == nullptr) return;
  KillTimer(owner, id);
  reinterpret_cast<BoxDriver*>(id)->acted = true;
  reinterpret_cast<BoxDriver*>(id)->act(box);
}

class WindowViewTest : public ::testing::Test {
 protected:
  WindowViewTest() {
    sample.shapes = {core::kClosedColor, core::kOpenColor, core::kSwitchingColor};
    for (auto& lamp : sample.lamps) lamp = {false, serial::clLime, serial::clNavy, ""};
    for (const Lamp error : {Lamp::MidiError, Lamp::ComError})
      sample.lamps[static_cast<std::size_t>(error)] = {error == Lamp::MidiError, serial::clRed,
                                                       serial::clGray, ""};
    sample.lists[static_cast<std::size_t>(core::DeviceList::MidiOut)] = {{"Synth", "Sampler"}, 0};
    sample.log = {"[MIDI-In] - 90 00 64 (Note On)", "Réglages ignorés"};
    sample.logSelected = 1;
    sample.status = {"sortie MIDI fermée", "1,38400,8,1,pNone"};
    sample.line.baud = 31250;
    window.Show(SW_SHOWNORMAL);
  }
  void Show(const core::WindowSnapshot& next) {
    link.Publish(next);
    const auto version = link.Snapshot().version;
    ASSERT_TRUE(PumpUntil([&] { return window.Shown().version == version; }));
  }
  // The control at a point of the client area, where the form lays it out.
  HWND At(int x, int y) const { return ChildWindowFromPoint(window.Handle(), POINT{x, y}); }
  COLORREF CentrePixel(int x, int y) const {
    RedrawWindow(At(x, y), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    HDC dc = GetDC(At(x, y));
    const COLORREF colour = GetPixel(dc, 6, 6);
    ReleaseDC(At(x, y), dc);
    return colour;
  }
  void OnNextBox(BoxDriver& driver) {
    SetTimer(window.Handle(), reinterpret_cast<UINT_PTR>(&driver), 20, &driveBox);
  }
  // Runs the "Fichier" menu's item of that caption.
  void RunFileItem(const std::wstring& caption) {
    HMENU file = GetSubMenu(GetMenu(window.Handle()), 0);
    for (int i = 0; i < GetMenuItemCount(file); ++i) {
      wchar_t text[64] = {};
      GetMenuStringW(file, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
      if (caption == text) {
        SendMessageW(window.Handle(), WM_COMMAND, GetMenuItemID(file, i), 0);
        return;
      }
    }
    ADD_FAILURE() << "no item " << ui::win32::Utf8(caption);
  }

  core::WindowSnapshot sample;
  FakeLink link;
  ui::win32::MainWindow window{link};
};

TEST_F(WindowViewTest, DrawsEachSnapshot) {
  Show(sample);
  EXPECT_EQ(CentrePixel(20, 20), RGB(255, 0, 0)) << "RS232 closed";
  EXPECT_EQ(CentrePixel(20, 52), RGB(0, 255, 0)) << "MIDI In open";
  EXPECT_EQ(CentrePixel(20, 252), RGB(0, 0, 128)) << "RS232 In dark";
  EXPECT_EQ(CentrePixel(20, 300), RGB(255, 0, 0)) << "Erreur MIDI lit";
  EXPECT_EQ(CentrePixel(132, 300), RGB(128, 128, 128)) << "Erreur RS232 dark";
  HWND outputs = At(50, 85);
  EXPECT_EQ(SendMessageW(outputs, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(textOf(outputs, CB_GETLBTEXTLEN, CB_GETLBTEXT, 0), L"Synth");
  EXPECT_EQ(SendMessageW(outputs, CB_GETCURSEL, 0, 0), 0);
  HWND status = At(5, 364);
  EXPECT_EQ(textOf(status, SB_GETTEXTLENGTHW, SB_GETTEXTW, 0), L"sortie MIDI fermée");
  EXPECT_EQ(textOf(status, SB_GETTEXTLENGTHW, SB_GETTEXTW, 1), L"1,38400,8,1,pNone");

  // "Reset" ran: the lamp goes dark; a new log line pushed the oldest out and is selected.
  sample.lamps[static_cast<std::size_t>(Lamp::MidiError)].lit = false;
  sample.log = {"Réglages ignorés", "[Com-Rx] - 90 3C 64"};
  Show(sample);
  EXPECT_EQ(CentrePixel(20, 300), RGB(128, 128, 128));
  HWND log = At(20, 140);
  ASSERT_EQ(SendMessageW(log, LB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(textOf(log, LB_GETTEXTLEN, LB_GETTEXT, 0), L"Réglages ignorés");
  EXPECT_EQ(textOf(log, LB_GETTEXTLEN, LB_GETTEXT, 1), L"[Com-Rx] - 90 3C 64");
  EXPECT_EQ(SendMessageW(log, LB_GETCURSEL, 0, 0), 1);

  // The counters, drawn with each snapshot.
  sample.counts = {12, 3, 1, 0};
  Show(sample);
  EXPECT_EQ(windowText(At(20, 324)), L"RS232 → MIDI : 1 message, 0 perdu");
  EXPECT_EQ(windowText(At(20, 338)), L"MIDI → RS232 : 12 messages, 3 perdus");
}

// Every text is French and whole: each label and button, the counters and the status bar's
// cause at their widest; a log line wider than the list scrolls.
TEST_F(WindowViewTest, EveryTextIsWholeAtItsWidest) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(At(20, 324), WM_GETFONT, 0, 0));
  const auto width = [&](HWND where, const std::wstring& text, HFONT with) {
    return ui::win32::TextSize(where, with, text).cx;
  };
  const auto check = [&](const std::vector<std::string>& widest, auto show) {
    for (const auto& text : widest) {
      const auto [control, room] = show(text);
      EXPECT_LE(width(control, ui::win32::Wide(text), font), room) << text;
    }
  };
  check(ui::WidestCountsTexts(), [&](const std::string& text) {
    sample.counts = {9'999'999'999, 9'999'999'999, 9'999'999'999, 9'999'999'999};
    Show(sample);
    HWND label = At(20, 324);
    RECT area{};
    GetClientRect(label, &area);
    (void)text;
    return std::pair{label, static_cast<int>(area.right)};
  });
  check(ui::WidestCauseTexts(), [&](const std::string& text) {
    sample.status[0] = text;
    Show(sample);
    HWND status = At(5, 364);
    RECT part{};
    SendMessageW(status, SB_GETRECT, 0, reinterpret_cast<LPARAM>(&part));
    return std::pair{status, static_cast<int>(part.right - part.left - 6)};
  });
  std::vector<HWND> children;
  EnumChildWindows(
      window.Handle(),
      [](HWND child, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    wchar_t type[32] = {};
    GetClassNameW(child, type, 32);
    const std::wstring text = windowText(child);
    if (text.empty() || (lstrcmpiW(type, L"Static") != 0 && lstrcmpiW(type, L"Button") != 0))
      continue;
    RECT area{};
    GetClientRect(child, &area);
    const HFONT own = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
    EXPECT_LE(width(child, text, own), area.right) << ui::win32::Utf8(text);
  }
  EXPECT_NE(FindWindowExW(window.Handle(), nullptr, L"Button", L"Tout arrêter"), nullptr);

  HWND log = At(20, 140);
  sample.log = {std::string(120, 'x')};
  Show(sample);
  EXPECT_TRUE(GetWindowLongW(log, GWL_STYLE) & WS_HSCROLL);
  EXPECT_GE(SendMessageW(log, LB_GETHORIZONTALEXTENT, 0, 0),
            width(log, std::wstring(120, L'x'),
                  reinterpret_cast<HFONT>(SendMessageW(log, WM_GETFONT, 0, 0))));
}

TEST_F(WindowViewTest, PostsTheUsersActions) {
  Show(sample);
  HWND outputs = At(50, 85);
  SendMessageW(outputs, CB_SETCURSEL, 1, 0);
  SendMessageW(window.Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(outputs), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(outputs));
  SendMessageW(At(320, 300), BM_CLICK, 0, 0);  // "Reset"
  SendMessageW(At(320, 250), BM_CLICK, 0, 0);  // "Effacer"
  SendMessageW(FindWindowExW(window.Handle(), nullptr, L"Button", L"Tout arrêter"), BM_CLICK, 0, 0);
  RunFileItem(L"Tout arrêter\tCtrl+Espace");
  BoxDriver line{[](HWND box) {
    SetDlgItemTextW(box, 301, L"9600");
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(301, CBN_EDITCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, 301)));
    SendDlgItemMessageW(box, 303, CB_SETCURSEL, 2, 0);  // "Paire"
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  OnNextBox(line);
  SendMessageW(window.Handle(), WM_COMMAND,
               GetMenuItemID(GetSubMenu(GetMenu(window.Handle()), 0), 0), 0);
  EXPECT_TRUE(line.acted);
  SetWindowPos(window.Handle(), nullptr, 10, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  PostMessageW(window.Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(window.Run(), 0);
  EXPECT_FALSE(IsWindowVisible(window.Handle())) << "hidden at once";

  std::vector<Kind> kinds;
  for (const Action& action : link.posted) kinds.push_back(action.kind);
  ASSERT_EQ(kinds, (std::vector<Kind>{Kind::Choose, Kind::Reset, Kind::ClearLog, Kind::Panic,
                                      Kind::Panic, Kind::LineSettings, Kind::Moved, Kind::Close}));
  EXPECT_EQ(link.posted[0].list, core::DeviceList::MidiOut);
  EXPECT_EQ(link.posted[0].entry, "Sampler") << "a choice goes by the entry's text";
  EXPECT_EQ(link.posted[5].line, (core::LineSettings{9600, 8, serial::TParity::pEven, 1}));
  EXPECT_EQ(link.posted[6].position, (core::WindowPosition{10, 20}));
}

TEST_F(WindowViewTest, MessagesAndCaptureItemsPostTheirActions) {
  using core::MessageKind;
  using ui::win32::MessageKindBoxId;
  sample.messages = {{MessageKind::Channel, MessageKind::Clock}, core::MessageKinds::All(), true};
  Show(sample);
  core::MessageChoice boxes;
  BoxDriver messages{[&](HWND box) {
    for (std::size_t k = 0; k < core::kMessageKindCount; ++k) {
      const auto kind = static_cast<MessageKind>(k);
      boxes.toSerial.Set(kind, IsDlgButtonChecked(box, MessageKindBoxId(true, kind)));
      boxes.toMidi.Set(kind, IsDlgButtonChecked(box, MessageKindBoxId(false, kind)));
    }
    boxes.serialText = IsDlgButtonChecked(box, ui::win32::kSerialTextBoxId);
    SendDlgItemMessageW(box, MessageKindBoxId(false, MessageKind::Sensing), BM_CLICK, 0, 0);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  OnNextBox(messages);
  RunFileItem(L"Messages transmis...");
  ASSERT_TRUE(messages.acted);
  EXPECT_EQ(boxes, sample.messages) << "the boxes show the choice in force";

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring path =
      std::wstring(temp) + L"velmora-capture-é-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
  BoxDriver save{[&](HWND box) {
    SetDlgItemTextW(box, cmb13, path.c_str());
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  // Each capture item is enabled only when it applies; a running one shows its file's name.
  HMENU file = GetSubMenu(GetMenu(window.Handle()), 0);
  const auto enabled = [&](int position) {
    return (GetMenuState(file, static_cast<UINT>(position), MF_BYPOSITION) & MF_GRAYED) == 0;
  };
  EXPECT_TRUE(enabled(2));
  EXPECT_FALSE(enabled(3));
  OnNextBox(save);
  RunFileItem(L"Capturer les octets...");
  ASSERT_TRUE(save.acted);
  sample.capture = "C:\\captures\\capture-é.bin";
  Show(sample);
  EXPECT_FALSE(enabled(2));
  EXPECT_TRUE(enabled(3));
  EXPECT_EQ(textOf(At(5, 364), SB_GETTEXTLENGTHW, SB_GETTEXTW, 2), L"capture : capture-é.bin");
  RunFileItem(L"Arrêter la capture");

  std::vector<Kind> kinds;
  for (const Action& action : link.posted) kinds.push_back(action.kind);
  ASSERT_EQ(kinds, (std::vector<Kind>{Kind::Messages, Kind::StartCapture, Kind::StopCapture}));
  core::MessageChoice clicked = sample.messages;
  clicked.toMidi.Set(MessageKind::Sensing, false);
  EXPECT_EQ(link.posted[0].messages, clicked) << "a change is posted at once";
  // The capture opens the path with fopen, as one given on the command line: the chosen file.
  std::FILE* opened = std::fopen(link.posted[1].entry.c_str(), "w");
  ASSERT_NE(opened, nullptr) << link.posted[1].entry;
  std::fclose(opened);
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(path.c_str());
}

TEST_F(WindowViewTest, ShowsNoticesAndTheAboutBoxWithTheLine) {
  sample.notices = {{7, "Port introuvable"}};
  BoxDriver notice{[](HWND box) {
    EXPECT_NE(FindWindowExW(box, nullptr, nullptr, L"Port introuvable"), nullptr);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  OnNextBox(notice);
  Show(sample);
  ASSERT_TRUE(PumpUntil([&] { return !link.posted.empty(); }));
  EXPECT_EQ(link.posted[0].kind, Kind::NoticeClosed);
  EXPECT_EQ(link.posted[0].notice, 7u);

  BoxDriver about{[](HWND box) {
    EXPECT_NE(FindWindowExW(box, nullptr, nullptr, L"MIDI ↔ RS232, 31250 bauds"), nullptr);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
  }};
  OnNextBox(about);
  window.ShowAboutBox();
  EXPECT_TRUE(about.acted);
}

}  // namespace
}  // namespace velmora::test
