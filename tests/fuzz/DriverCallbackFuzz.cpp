// Random notifications into the driver callback, the UI thread taking items out between them:
// the ring keeps order and count against a model; data is posted once each time the ring stops
// being empty, a refusal once per overflow episode (the window takes the count, as the input
// does), and every refused item is counted.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>

#include "midi/DriverCallback.h"
#include "midi/EventRing.h"
#include "platform/MessagePump.h"
#include "platform/midi/MidiService.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

namespace pm = velmora::platform::midi;
using velmora::midi::TCallbackContext;
using velmora::midi::TEventRing;
using velmora::midi::TRingItem;
using velmora::platform::Message;
using velmora::platform::MessagePump;
using velmora::platform::MessageWindow;

constexpr std::uint32_t kNotifications[] = {
    pm::MIM_DATA,  pm::MIM_LONGDATA, pm::MIM_LONGERROR, pm::MOM_DONE,     pm::MIM_OPEN,
    pm::MIM_CLOSE, pm::MIM_ERROR,    pm::MOM_OPEN,      pm::MIM_MOREDATA, pm::MM_DEVICELOST};

struct Posted {
  std::size_t data = 0;
  std::size_t full = 0;
  std::size_t done = 0;
  std::size_t lost = 0;
};

bool Same(const TRingItem& a, const TRingItem& b) {
  return a.Timestamp == b.Timestamp && a.ShortMessage == b.ShortMessage &&
         a.LongHeader == b.LongHeader;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::FuzzInput in(data, size);
  Posted posted;
  auto context = std::make_unique<TCallbackContext>();
  std::uint64_t refusedTaken = 0;
  std::uint64_t episodeRefused = 0;  // the model's count not yet taken
  MessageWindow window([&](const Message& m) -> std::intptr_t {
    if (m.id == pm::MIM_DATA) {
      ++posted.data;
    } else if (m.id == velmora::platform::WM_USER) {
      ++posted.full;
      refusedTaken += context->Refused.exchange(0);
      episodeRefused = 0;
    } else if (m.id == pm::MOM_DONE) {
      ++posted.done;
    } else if (m.id == pm::MM_DEVICELOST) {
      ++posted.lost;
    } else if (m.id == velmora::midi::kMalformedMessage) {
      // An episode of refused messages (MIM_ERROR) begins: counted, never stored.
      context->Malformed.exchange(0);
    } else {
      VELMORA_FUZZ_FAIL();
    }
    return 0;
  });
  const std::uint16_t capacity = in.Byte() % 33;  // 0: no ring (an output device)
  std::unique_ptr<TEventRing> ring = velmora::midi::RingCreate(capacity);
  if ((capacity == 0) != (ring == nullptr)) VELMORA_FUZZ_FAIL();
  context->Ring.store(ring.get());
  context->Window = window.ref();
  pm::MIDIHDR headers[4];

  std::deque<TRingItem> model;
  Posted expected;
  std::uint64_t refusedTotal = 0;
  while (!in.Done()) {
    const std::uint8_t op = in.Byte();
    if (op < 0xA0) {
      const std::uint32_t message =
          op < 0x90 ? kNotifications[op % std::size(kNotifications)] : in.Value<std::uint32_t>();
      const bool noContext = (op & 0x40) && in.Bool();
      std::uintptr_t param1 = in.Value<std::uint32_t>();
      if (in.Bool()) param1 &= 0xFF;  // single bytes, the filtered ones among them
      const bool isLong = message == pm::MIM_LONGDATA || message == pm::MIM_LONGERROR;
      if (isLong && param1 != 0xFE && param1 != 0xF8)
        param1 = reinterpret_cast<std::uintptr_t>(&headers[param1 % 4]);
      const std::uintptr_t param2 = in.Value<std::uint32_t>();
      const auto instance = noContext ? 0 : reinterpret_cast<std::uintptr_t>(context.get());
      velmora::midi::DriverCallback(nullptr, message, instance, param1, param2);

      const bool input = message == pm::MIM_DATA || isLong;
      if (input && param1 != 0xFE && param1 != 0xF8 && !noContext && ring &&
          !(message == pm::MIM_DATA && context->SysexOnly.load())) {
        TRingItem item;
        item.Timestamp = static_cast<std::uint32_t>(param2);
        if (isLong)
          item.LongHeader = reinterpret_cast<pm::MIDIHDR*>(param1);
        else
          item.ShortMessage = static_cast<std::uint32_t>(param1);
        if (model.size() < capacity) {
          if (model.empty()) ++expected.data;
          model.push_back(item);
        } else {
          if (episodeRefused++ == 0) ++expected.full;
          ++refusedTotal;
        }
      }
      if (message == pm::MIM_OVERFLOW && !noContext) {
        // Lost before the ring, told as its refusals are: the first of an episode posts.
        if (episodeRefused == 0) ++expected.full;
        episodeRefused += param1;
        refusedTotal += param1;
      }
      if (message == pm::MOM_DONE && !noContext) ++expected.done;
      if (message == pm::MM_DEVICELOST && !noContext) ++expected.lost;
    } else if (op < 0xD0 && ring) {
      TRingItem item;
      const bool peeked = velmora::midi::RingPeek(*ring, item);
      if (peeked != !model.empty()) VELMORA_FUZZ_FAIL();
      if (peeked && !Same(item, model.front())) VELMORA_FUZZ_FAIL();
      const bool dropped = velmora::midi::RingDrop(*ring);
      if (dropped != !model.empty()) VELMORA_FUZZ_FAIL();
      if (dropped) model.pop_front();
    } else if (op < 0xE0) {
      context->SysexOnly.store(in.Bool());
    } else {
      MessagePump::current().processMessages();
    }
    if (ring && ring->Count.load() != model.size()) VELMORA_FUZZ_FAIL();
  }
  while (MessagePump::current().processOneMessage()) {
  }
  if (posted.data != expected.data || posted.full != expected.full ||
      posted.done != expected.done || posted.lost != expected.lost)
    VELMORA_FUZZ_FAIL();
  if (refusedTaken + context->Refused.load() != refusedTotal) VELMORA_FUZZ_FAIL();
  return 0;
}
