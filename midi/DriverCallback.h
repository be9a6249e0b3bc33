#pragma once

// The MIDI service's callback for both device components: it turns input notifications into
// ring items and posts to the component's window only when the UI thread has something new to
// do: the ring was empty, an overflow episode began, a device was lost, a long message is
// done. So the pump's queue holds at most a few messages per device, whatever the MIDI rate.
// It runs on the driver thread, allocates nothing per event, never throws.

#include <atomic>
#include <cstdint>

#include "midi/EventRing.h"
#include "platform/MessagePump.h"

namespace velmora::midi {

// A short message's status class as a bit of TCallbackContext::DroppedShort: one per channel
// message class (8n to En), one per system status (F0 to FF); 0 for a data byte.
constexpr std::uint32_t ShortStatusBit(std::uint8_t status) {
  if (status < 0x80) return 0;
  if (status >= 0xF0) return 1u << (status - 0xF0);
  return 1u << (16 + (status >> 4) - 8);
}
// What an input drops unless told otherwise: a lone Active Sensing or Timing Clock byte.
inline constexpr std::uint32_t kLoneNoise = ShortStatusBit(0xF8) | ShortStatusBit(0xFE);

// The callback's instance value. Written by the UI thread only while the device is closed
// (the service's open hands it over to the driver thread); SysexOnly may change at any time.
struct TCallbackContext {
  std::atomic<TEventRing*> Ring{nullptr};  // null for an output device
  platform::WindowRef Window;              // the component's message window
  std::atomic<bool> SysexOnly{false};      // drop short input messages
  // Short messages of these status classes are dropped (a real-time one only as a lone byte):
  // what nobody will forward never wakes the UI thread. May change at any time.
  std::atomic<std::uint32_t> DroppedShort{kLoneNoise};
  // Events the full ring refused since the UI thread last took the count (exchange to 0). The
  // driver thread adds; its first refusal of an episode posts WM_USER.
  std::atomic<std::uint64_t> Refused{0};
  // Incomplete or malformed short messages the service refused (MIM_ERROR), taken the same
  // way; the first of an episode posts kMalformedMessage.
  std::atomic<std::uint64_t> Malformed{0};
};

// Posted to the input's window when an episode of refused malformed messages begins.
inline constexpr std::uint32_t kMalformedMessage = platform::WM_USER + 1;

void DriverCallback(void* handle, std::uint32_t message, std::uintptr_t instance,
                    std::uintptr_t param1, std::uintptr_t param2);

}  // namespace velmora::midi
