#pragma once

// <windows.h> defines as macros names that the project's headers declare (the pump's WM_TIMER
// and WM_USER, the dispatcher's EV_ and line constants): those headers come first, then it.
// The Win32 window's files include this instead of <windows.h>.

// clang-format off
#include "platform/MessagePump.h"
#include "serial/ComPort.h"
#include "serial/PacketEngine.h"
#include "serial/dispatcher/Dispatcher.h"
#include <windows.h>
// clang-format on
