#pragma once

// The MIDI service's callback for both device components: it turns input notifications into
// ring items and every notification that matters into a message posted to the component's
// window. It runs on the driver thread, allocates nothing, never blocks and never throws.

#include <atomic>
#include <cstdint>

#include "midi/EventRing.h"
#include "platform/MessagePump.h"

namespace velmora::midi {

// The callback's instance value. Written by the UI thread only while the device is closed
// (the service's open hands it over to the driver thread); SysexOnly may change at any time.
struct TCallbackContext {
  std::atomic<TEventRing*> Ring{nullptr};  // null for an output device
  platform::WindowRef Window;              // the component's message window
  std::atomic<bool> SysexOnly{false};      // drop short input messages
};

void DriverCallback(void* handle, std::uint32_t message, std::uintptr_t instance,
                    std::uintptr_t param1, std::uintptr_t param2);

}  // namespace velmora::midi
