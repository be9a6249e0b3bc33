#pragma once

#include <cstdio>

#include "app/SignalWatch.h"
#include "core/Bridge.h"
#include "core/Settings.h"

namespace velmora::app {

// The bridge on the message pump with a window surface that prints, with a time stamp, each
// log line the window would show and a status line when a device opens or closes. Returns
// when `signals` reports SIGINT or SIGTERM; the devices are closed by then. SIGUSR1 is "Tout
// arrêter".
// Never writes `settings`: without a window nobody changes a choice.
int RunHeadless(core::Bridge& bridge, SignalWatch& signals, const core::SettingsStore& settings,
                std::FILE* out);

}  // namespace velmora::app
