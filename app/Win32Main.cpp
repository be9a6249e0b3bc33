// The Windows program's main block: the bridge on a thread of its own, the Win32 window on this
// one as its view. With --headless (and for lists, help and errors) it runs without a window.

#include "ui/win32/Win32Api.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/ViewLaunch.h"
#include "app/Win32Screenshot.h"
#include "ui/win32/MainWindow.h"
#include "ui/win32/Text.h"

namespace win32 = velmora::ui::win32;

namespace {

// A window program has no console of its own: --help, --list, --headless and the errors write
// to the console that started it, unless its output goes elsewhere already.
void useParentConsole() {
  const auto connected = [](DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  };
  if (connected(STD_OUTPUT_HANDLE) || !AttachConsole(ATTACH_PARENT_PROCESS)) return;
  FILE* reopened = nullptr;
  freopen_s(&reopened, "CONOUT$", "w", stdout);
  freopen_s(&reopened, "CONOUT$", "w", stderr);
}

}  // namespace

int main(int argc, char** argv) {
  useParentConsole();
  const auto runView = [](velmora::ui::ViewLink& link) {
    win32::MainWindow window(link);
    std::optional<velmora::app::WindowPictureTaker> pictures;
    if (const char* directory = std::getenv("VELMORA_SCREENSHOTS"); directory && *directory) {
      pictures.emplace(window, directory);
    }
    window.Show(SW_SHOWNORMAL);
    return window.Run();
  };
  const auto refused = [](const std::string& line) {
    MessageBoxW(nullptr, win32::Wide(line).c_str(), L"Velmora", MB_OK | MB_ICONERROR);
  };
  // A bad option or an absent port: the same line as on the console, in a box.
  return velmora::app::LaunchWithView(std::vector<std::string>(argv + 1, argv + argc), "velmora",
                                      runView, refused, refused);
}
