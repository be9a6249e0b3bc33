#pragma once

// The bridge thread's part of the window program: the window model, the window's handlers, the
// user's actions and the remembered choices around a bridge, then the thread's message loop
// until the view's Close action; the devices are closed when it returns.

#include <functional>
#include <optional>

#include "core/Bridge.h"
#include "core/Settings.h"
#include "ui/ViewLink.h"

namespace velmora::ui {

// Bridge thread. `offer` hands the view its link once the model exists; the link lives until
// this returns, and the view clears its wake-up before then. `timing` tells the MIDI service's
// timing in force (platform::midi::MidiService::ExactTimingInForce), when given.
int RunBridgeSession(core::Bridge& bridge, core::SettingsStore& settings,
                     const std::function<void(ViewLink& link)>& offer,
                     std::function<std::optional<bool>()> timing = {});

}  // namespace velmora::ui
