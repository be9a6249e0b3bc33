// The Windows program's main block: command line, bridge core, the Win32 main window, message
// loop, then the bridge core's finalization. With --headless it runs without a window.

#include "ui/win32/Win32Api.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Launch.h"
#include "app/Win32Screenshot.h"
#include "core/Bridge.h"
#include "core/Settings.h"
#include "platform/MessagePump.h"
#include "ui/win32/ChoiceMemory.h"
#include "ui/win32/MainWindow.h"

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
  // WinMM calls back on its own threads: the MIDI service needs nothing of the window.
  const auto runWindow = [](velmora::core::Bridge& bridge, velmora::core::SettingsStore& settings,
                            velmora::platform::midi::MidiService&) {
    win32::MainWindow window(bridge);
    win32::ChoiceMemory memory(window, settings);
    const char* screenshots = std::getenv("VELMORA_SCREENSHOTS");
    if (screenshots != nullptr && *screenshots != '\0') {
      // An error box (a machine without MIDI output shows one at start) would wait for a click
      // that never comes; it is not part of the picture.
      window.Errors().SetShow([](const std::string& message) {
        std::fprintf(stderr, "velmora: %s\n", message.c_str());
      });
    }
    window.SetOnFormCreated([&window, &memory, screenshots] {
      memory.Shown();
      if (screenshots != nullptr && *screenshots != '\0') {
        velmora::app::SaveWindowPicture(window.Handle(),
                                        std::string(screenshots) + "\\main-window-windows.bmp");
        PostMessageW(window.Handle(), WM_CLOSE, 0, 0);
      }
    });
    window.SetOnClosing([&memory] { memory.Closing(); });
    window.Show(SW_SHOWNORMAL);
    velmora::platform::MessagePump::current().run();
    // The devices go while the window's lamps, which the light controller drives, still exist.
    bridge.Finalize();
    return 0;
  };
  return velmora::app::Launch(std::vector<std::string>(argv + 1, argv + argc), "velmora",
                              runWindow);
}
