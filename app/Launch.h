#pragma once

// The start and end that both programs share: the command line, the device lists, then the
// window or the headless loop, and the loss counts at the end.

#include <functional>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/Settings.h"

// Not included: its WinMM names would meet those of <windows.h> in the Win32 program.
namespace velmora::platform::midi {
class MidiService;
}

namespace velmora::app {

// Runs the window over the bridge until it closes; returns the exit status. The window tells
// `settings` of the user's changes and shows its problem in the log; `midi` is the bridge's
// MIDI service.
using WindowProgram = std::function<int(core::Bridge& bridge, core::SettingsStore& settings,
                                        platform::midi::MidiService& midi)>;

// `args` without the program's name. Without a window, or with --headless, runs headless.
// The profile's name is the window's `settings.Profile()`; core::WindowTitle gives its title.
// A profile that runs already is one line on stderr and status 1, window or not.
int Launch(const std::vector<std::string>& args, const std::string& program,
           const WindowProgram& window);

}  // namespace velmora::app
