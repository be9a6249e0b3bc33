#include "midi/DriverCallback.h"

namespace velmora::midi {

namespace pm = platform::midi;

namespace {
// Posting may fail only for want of memory; the notification is then lost, never thrown.
void PostQuietly(const platform::WindowRef& window, std::uint32_t id, std::intptr_t lParam = 0) {
  try {
    window.post(id, 0, lParam);
  } catch (...) {
  }
}
}  // namespace

void DriverCallback(void* /*handle*/, std::uint32_t message, std::uintptr_t instance,
                    std::uintptr_t param1, std::uintptr_t param2) {
  auto* context = reinterpret_cast<TCallbackContext*>(instance);
  switch (message) {
    case pm::MIM_DATA:
    case pm::MIM_LONGDATA:
    case pm::MIM_LONGERROR: {
      if (context == nullptr) return;
      // Short messages of a class the context drops never wake the UI thread; a real-time
      // status counts only as a lone byte, whatever the notification.
      const auto status = static_cast<std::uint8_t>(param1 & 0xFF);
      const bool lone = param1 == status;
      const bool judged = lone || (message == pm::MIM_DATA && status < 0xF8);
      if (judged &&
          (context->DroppedShort.load(std::memory_order_relaxed) & ShortStatusBit(status)) != 0) {
        return;
      }
      if (message == pm::MIM_DATA && context->SysexOnly.load(std::memory_order_relaxed)) return;
      TEventRing* ring = context->Ring.load(std::memory_order_acquire);
      if (ring == nullptr) return;
      TRingItem item;
      item.Timestamp = static_cast<std::uint32_t>(param2);
      if (message == pm::MIM_DATA) {
        item.ShortMessage = static_cast<std::uint32_t>(param1);
      } else {
        item.LongHeader = reinterpret_cast<pm::MIDIHDR*>(param1);
      }
      bool wasEmpty = false;
      if (RingPut(*ring, item, wasEmpty)) {
        // The UI thread drains the whole ring per wake: a wake is due only for an empty one.
        if (wasEmpty) PostQuietly(context->Window, pm::MIM_DATA);
      } else if (context->Refused.fetch_add(1, std::memory_order_relaxed) == 0) {
        PostQuietly(context->Window, platform::WM_USER);
      }
      return;
    }
    case pm::MIM_OVERFLOW:
      // Lost where it waited for a buffer: told as the ring's own refusals are.
      if (context == nullptr) return;
      if (context->Refused.fetch_add(param1, std::memory_order_relaxed) == 0) {
        PostQuietly(context->Window, platform::WM_USER);
      }
      return;
    case pm::MIM_ERROR: {
      if (context == nullptr) return;
      // What the user does not forward is no loss, complete or not.
      const auto status = static_cast<std::uint8_t>(param1 & 0xFF);
      if ((context->DroppedShort.load(std::memory_order_relaxed) & ShortStatusBit(status)) != 0 ||
          context->SysexOnly.load(std::memory_order_relaxed)) {
        return;
      }
      if (context->Malformed.fetch_add(1, std::memory_order_relaxed) == 0) {
        PostQuietly(context->Window, kMalformedMessage);
      }
      return;
    }
    case pm::MM_DEVICELOST:
      if (context == nullptr) return;
      PostQuietly(context->Window, pm::MM_DEVICELOST, static_cast<std::intptr_t>(param1));
      return;
    case pm::MOM_DONE:
      if (context == nullptr) return;
      PostQuietly(context->Window, pm::MOM_DONE, static_cast<std::intptr_t>(param1));
      return;
    default:
      return;
  }
}

}  // namespace velmora::midi
