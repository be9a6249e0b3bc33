#include "midi/EventRing.h"

#include <new>

namespace velmora::midi {

std::unique_ptr<TEventRing> RingCreate(std::uint16_t capacity) {
  // A ring without a slot could never deliver anything.
  if (capacity == 0) return nullptr;
  std::unique_ptr<TEventRing> ring;
  try {
    ring = std::make_unique<TEventRing>();
    ring->Items = std::make_unique<TRingItem[]>(capacity);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ring->First = ring->Items.get();
  ring->Limit = ring->First + capacity;
  ring->NextPut = ring->First;
  ring->NextGet = ring->First;
  ring->Capacity = capacity;
  return ring;
}

void RingFree(std::unique_ptr<TEventRing>& ring) {
  ring.reset();
}

bool RingPeek(TEventRing& ring, TRingItem& item) {
  if (ring.Count.load(std::memory_order_acquire) == 0) return false;
  item = *ring.NextGet;
  return true;
}

bool RingDrop(TEventRing& ring) {
  if (ring.Count.load(std::memory_order_acquire) == 0) return false;
  TRingItem* next = ring.NextGet + 1;
  ring.NextGet = next == ring.Limit ? ring.First : next;
  // Release: the producer may reuse the slot only after we are done reading it.
  ring.Count.fetch_sub(1, std::memory_order_acq_rel);
  return true;
}

bool RingPut(TEventRing& ring, const TRingItem& item) {
  bool wasEmpty = false;
  return RingPut(ring, item, wasEmpty);
}

bool RingPut(TEventRing& ring, const TRingItem& item, bool& wasEmpty) {
  if (ring.Count.load(std::memory_order_acquire) >= ring.Capacity) return false;
  *ring.NextPut = item;
  TRingItem* next = ring.NextPut + 1;
  ring.NextPut = next == ring.Limit ? ring.First : next;
  // Release: the item is written before the consumer can see it counted. The count before it
  // comes from the same read-modify-write, so no drain to zero can slip between.
  wasEmpty = ring.Count.fetch_add(1, std::memory_order_acq_rel) == 0;
  return true;
}

}  // namespace velmora::midi
