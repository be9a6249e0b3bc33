// velmora.exe under Wine (and Xvfb): its window comes up with its title, its menu bar and its
// controls, its log shows an accented capture path as typed, Ctrl+Espace stops everything, and
// the program ends cleanly on WM_CLOSE, whatever box its start-up opened.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ui/win32/Win32Api.h"

namespace {

constexpr auto kBound = std::chrono::seconds(60);

// Wine runs the build tree's programs through its Z: drive.
std::wstring windowsPath(std::string path) {
  if (!path.empty() && path.front() == '/') path = "Z:" + path;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return std::wstring(path.begin(), path.end());
}

std::wstring textOf(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

std::wstring classOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

struct Search {
  DWORD process;
  HWND found = nullptr;
};

HWND mainWindowOf(DWORD process) {
  Search search{process};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& wanted = *reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != wanted.process || classOf(window) != L"VelmoraMainWindow") return TRUE;
        wanted.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<HWND> childrenOf(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM data) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// The log's lines as the window shows them.
std::vector<std::wstring> logOf(HWND log) {
  std::vector<std::wstring> lines;
  const auto count = SendMessageW(log, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring line(static_cast<std::size_t>(SendMessageW(log, LB_GETTEXTLEN, i, 0)), L'\0');
    SendMessageW(log, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()));
    lines.push_back(line);
  }
  return lines;
}

// How many lines of the log hold `text`, once at least `atLeast` do (or the bound passed).
long linesHolding(HWND log, const std::wstring& text, long atLeast) {
  long found = 0;
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  for (;;) {
    found = 0;
    for (const std::wstring& line : logOf(log)) found += line.find(text) != std::wstring::npos;
    if (found >= atLeast || std::chrono::steady_clock::now() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void pressCtrlSpace() {
  INPUT keys[4] = {};
  const WORD codes[4] = {VK_CONTROL, VK_SPACE, VK_SPACE, VK_CONTROL};
  for (int i = 0; i < 4; ++i) {
    keys[i].type = INPUT_KEYBOARD;
    keys[i].ki.wVk = codes[i];
    keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
  }
  SendInput(4, keys, sizeof(INPUT));
}

// COM9, which no test makes, keeps the program off the ports of the driver's tests: Wine lets two
// programs open one port, and the one that reads first takes the bytes.
TEST(WindowProgram, ShowsItsWindowAndEndsOnClose) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring capture = std::wstring(temp) + L"capture-\u00e9t\u00e9-" +
                               std::to_wstring(GetCurrentProcessId()) + L".txt";
  std::wstring command = L"\"" + windowsPath(VELMORA_PROGRAM) +
                         L"\" --no-settings --port COM9 --capture \"" + capture + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << GetLastError();

  HWND window = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (window == nullptr || !IsWindowVisible(window)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no window came up";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window = mainWindowOf(process.dwProcessId);
  }
  EXPECT_EQ(textOf(window), L"Velmora");
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 377);
  EXPECT_EQ(client.bottom, 375);  // the counters' row under the form's

  // Wine keeps a menu's items in the process that made it: only its presence shows here.
  EXPECT_NE(GetMenu(window), nullptr);

  int lists = 0;
  int logs = 0;
  HWND log = nullptr;
  int lamps = 0;
  std::vector<std::wstring> buttons;
  for (HWND child : childrenOf(window)) {
    const std::wstring type = classOf(child);
    if (type == L"ComboBox") ++lists;
    if (type == L"ListBox") ++logs, log = child;
    if (type == L"VelmoraLamp") ++lamps;
    if (type == L"Button") buttons.push_back(textOf(child));
  }
  EXPECT_EQ(lists, 3);
  EXPECT_EQ(logs, 1);
  EXPECT_EQ(lamps, 6);
  EXPECT_EQ(buttons, (std::vector<std::wstring>{L"Effacer", L"Reset", L"Tout arr\u00eater"}));
  ASSERT_NE(log, nullptr);

  EXPECT_EQ(linesHolding(log, L"[Capture] - " + capture + L" : capture d\u00e9marr\u00e9e", 1), 1);
  SetForegroundWindow(window);
  pressCtrlSpace();
  EXPECT_EQ(linesHolding(log, L"[Tout arr\u00eater] - ", 1), 1);

  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(WaitForSingleObject(process.hProcess,
                                static_cast<DWORD>(std::chrono::milliseconds(kBound).count())),
            WAIT_OBJECT_0);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  EXPECT_EQ(status, 0u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_NE(GetFileAttributesW(capture.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(capture.c_str());
}

}  // namespace
