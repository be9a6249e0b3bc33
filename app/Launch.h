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

// Shows, in a box, the one line that refuses a second start of a profile (also printed on
// stderr; the program then ends with status 1). Called only for the window program.
using RefusalBox = std::function<void(const std::string& line)>;

// `args` without the program's name. Without a window, or with --headless, runs headless.
// The profile's name is the window's `settings.Profile()`; core::WindowTitle gives its title.
// `startFailed` is told the line of a usage error that stops the window program (a port given
// but absent), as printed on stderr.
int Launch(const std::vector<std::string>& args, const std::string& program,
           const WindowProgram& window, const RefusalBox& refusal = nullptr,
           const RefusalBox& startFailed = nullptr);

}  // namespace velmora::app
