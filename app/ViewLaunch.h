#pragma once

// The window program's two threads. The bridge (its devices, the window's handlers, the window
// model and the message pump) is created on and runs on a thread of its own, the same loop the
// headless program runs on its main thread; the window is a view on the calling thread: it
// draws snapshots of the model and posts the user's actions. Nothing the view does (painting,
// a menu, a modal box, a stalled display) delays forwarding.

#include <functional>
#include <string>
#include <vector>

#include "ui/ViewLink.h"

namespace velmora::app {

// Runs on the calling thread while the bridge runs; returns the exit status once the user
// closed the window (it posts a Close action first).
using View = std::function<int(ui::ViewLink& link)>;

// `args` without the program's name. Help, version, lists, errors and --headless go as the
// headless program's; otherwise the bridge thread starts and `view` runs here.
// `refused` shows, on the calling thread, why the gateway did not start (its profile already
// runs), after the line went to stderr.
// `failed`, when given, shows likewise the line of a bad command line or an absent port that
// stops the window program before its window opens (whoever started it from a shortcut sees no
// console).
int LaunchWithView(const std::vector<std::string>& args, const std::string& program,
                   const View& view,
                   const std::function<void(const std::string& line)>& refused = nullptr,
                   const std::function<void(const std::string& line)>& failed = nullptr);

}  // namespace velmora::app
