// The dispatcher's PutBlock and GetBlock on a pseudo-terminal through the POSIX driver.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "serial/dispatcher/PosixDispatcher.h"
#include "support/Pty.h"

namespace {

using velmora::bench::Pty;
using velmora::bench::WriteAll;
using velmora::serial::TApdPosixDispatcher;

constexpr std::uint32_t kRing = 4096;

bool Open(TApdPosixDispatcher& dispatcher, const Pty& pty) {
  return dispatcher.InitPort(pty.slavePath(), 38400, 0, 8, 1, kRing, kRing, 0x01 | 0x02) == 0;
}

template <class Done>
void WaitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Three bytes queued per call while a reader empties the far end; a full ring is waited out
// outside the timing.
void BM_PutBlock(benchmark::State& state) {
  Pty pty;
  TApdPosixDispatcher dispatcher(nullptr);
  if (!Open(dispatcher, pty)) return state.SkipWithError("the port did not open");
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<std::uint8_t> sink(4096);
    while (!stop) {
      pollfd p{pty.master(), POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        // What was read is dropped; a (void) cast does not quiet the fortified read.
        [[maybe_unused]] const auto drained = read(pty.master(), sink.data(), sink.size());
      }
    }
  });
  const std::uint8_t note[3] = {0x90, 0x3C, 0x64};
  for (auto _ : state) {
    if (dispatcher.PutBlock(note, 3) != 0) {
      state.PauseTiming();
      WaitUntil([&] { return dispatcher.OutBuffUsed() == 0; });
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  dispatcher.DonePort();
  stop = true;
  reader.join();
}
BENCHMARK(BM_PutBlock);

// Three bytes taken per call from a receive ring filled (outside the timing) from the far end.
void BM_GetBlock(benchmark::State& state) {
  Pty pty;
  TApdPosixDispatcher dispatcher(nullptr);
  if (!Open(dispatcher, pty)) return state.SkipWithError("the port did not open");
  const std::vector<std::uint8_t> fill(3 * 1300, 0x40);
  std::uint8_t block[3];
  for (auto _ : state) {
    if (dispatcher.InBuffUsed() < 3) {
      state.PauseTiming();
      WriteAll(pty.master(), fill.data(), fill.size());
      WaitUntil([&] { return dispatcher.InBuffUsed() >= fill.size(); });
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(dispatcher.GetBlock(block, 3));
  }
  state.SetItemsProcessed(state.iterations());
  dispatcher.DonePort();
}
BENCHMARK(BM_GetBlock);

}  // namespace
