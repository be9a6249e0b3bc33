// The event ring between the MIDI driver thread and the UI thread.

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "midi/EventRing.h"

namespace {

using velmora::midi::RingCreate;
using velmora::midi::RingDrop;
using velmora::midi::RingPeek;
using velmora::midi::RingPut;
using velmora::midi::TRingItem;

// One item in and out on one thread: the cost of the three calls without contention.
void BM_RingPutPeekDrop(benchmark::State& state) {
  auto ring = RingCreate(1024);
  TRingItem in{0, 0x643C90, nullptr}, out;
  for (auto _ : state) {
    RingPut(*ring, in);
    RingPeek(*ring, out);
    RingDrop(*ring);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingPutPeekDrop);

// A producer thread against the consumer, as the driver callback and the UI thread run.
void BM_RingTwoThreads(benchmark::State& state) {
  auto ring = RingCreate(1024);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    TRingItem item{0, 0x643C90, nullptr};
    while (!stop.load(std::memory_order_relaxed)) {
      if (!RingPut(*ring, item)) std::this_thread::yield();
      ++item.Timestamp;
    }
  });
  TRingItem out;
  std::int64_t taken = 0;
  for (auto _ : state) {
    while (!RingPeek(*ring, out)) {
    }
    RingDrop(*ring);
    ++taken;
  }
  stop = true;
  producer.join();
  state.SetItemsProcessed(taken);
}
BENCHMARK(BM_RingTwoThreads)->UseRealTime();

}  // namespace
