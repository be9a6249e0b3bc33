#pragma once

// The event ring between the MIDI driver thread (the one producer: RingPut) and the UI thread
// (the one consumer: RingPeek, RingDrop). It takes no lock: the callback must never block.
// Count is the only field both sides change; its release/acquire pairs publish an item from
// RingPut to RingPeek and a freed slot from RingDrop back to RingPut.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/midi/MidiService.h"

namespace velmora::midi {

struct TRingItem {
  std::uint32_t Timestamp = 0;
  std::uint32_t ShortMessage = 0;                 // 0 in a long item
  platform::midi::MIDIHDR* LongHeader = nullptr;  // null in a short item
};

inline constexpr std::size_t kCacheLine = 64;

struct TEventRing {
  std::unique_ptr<TRingItem[]> Items;  // the slots, owned by the ring
  TRingItem* First = nullptr;
  TRingItem* Limit = nullptr;  // First + Capacity
  std::uint16_t Capacity = 0;
  // Producer's own: only RingPut reads or moves it.
  alignas(kCacheLine) TRingItem* NextPut = nullptr;
  // Consumer's own: only RingPeek and RingDrop read it, only RingDrop moves it.
  alignas(kCacheLine) TRingItem* NextGet = nullptr;
  // Stored items, 0..Capacity; every change is an atomic read-modify-write.
  alignas(kCacheLine) std::atomic<std::uint16_t> Count{0};
};

// UI thread, device closed. Null when capacity is 0 or the slots cannot be allocated.
std::unique_ptr<TEventRing> RingCreate(std::uint16_t capacity);
// UI thread, device closed. Releases the ring and leaves `ring` null.
void RingFree(std::unique_ptr<TEventRing>& ring);
// UI thread. Copies the oldest item; false (item untouched) when the ring is empty.
bool RingPeek(TEventRing& ring, TRingItem& item);
// UI thread. Removes the oldest item; false when the ring is empty.
bool RingDrop(TEventRing& ring);
// Driver thread. Stores the item; false (nothing stored) when the ring is full.
bool RingPut(TEventRing& ring, const TRingItem& item);
// The same; `wasEmpty` tells whether the consumer had taken every earlier item, so that the
// producer wakes it only then.
bool RingPut(TEventRing& ring, const TRingItem& item, bool& wasEmpty);

}  // namespace velmora::midi
