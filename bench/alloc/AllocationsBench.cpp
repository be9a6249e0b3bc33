// Heap allocations per message, each way, in steady state: the real bridge on a pseudo-terminal
// and the simulated MIDI service, every allocation of the process counted by the thread that
// made it. The bridge's threads (this one, which runs the bridge, and the serial port's) are
// ours; the simulated service's driver thread also runs the test double's own bookkeeping, and
// the far end's reader is the bench's.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "harness/Rig.h"
#include "harness/TimedMidiService.h"
#include "platform/MessagePump.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Pty.h"

namespace {

// Per thread, without allocating: a fixed table of slots taken once by each thread.
struct Slot {
  std::atomic<long> tid{0};
  std::atomic<std::uint64_t> count{0};
};
std::array<Slot, 64> slots;
std::atomic<std::size_t> slotsTaken{0};
thread_local Slot* mySlot = nullptr;

void Count() {
  if (mySlot == nullptr) {
    const std::size_t index = slotsTaken.fetch_add(1);
    if (index >= slots.size()) return;
    mySlot = &slots[index];
    mySlot->tid = static_cast<long>(syscall(SYS_gettid));
  }
  mySlot->count.fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
  Count();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

std::string ThreadName(long tid) {
  std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "(ended)" : name;
}

std::array<std::uint64_t, 64> Counts() {
  std::array<std::uint64_t, 64> counts{};
  for (std::size_t i = 0; i < slots.size(); ++i) counts[i] = slots[i].count.load();
  return counts;
}

// Sends `messages` messages from a thread of the bench's own, each once the one before it has
// crossed, while this thread runs the bridge; then prints the allocations each thread made per
// message meanwhile.
template <typename Send, typename Arrived>
bool Phase(const char* title, int messages, Send send, Arrived arrived) {
  auto& pump = platform::MessagePump::current();
  const auto before = Counts();
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < messages && !stop; ++i) {
      send(i);
      while (!arrived(i + 1) && !stop) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  while (!arrived(messages) && Clock::now() < deadline) {
    if (!pump.processOneMessage()) pump.waitMessage(Clock::now() + std::chrono::milliseconds(1));
  }
  stop = true;
  sender.join();
  if (!arrived(messages)) {
    std::printf("%s: not every message arrived\n", title);
    return false;
  }
  const auto after = Counts();
  std::printf("%s, %d messages: heap allocations per message, by thread\n", title, messages);
  double ours = 0;
  for (std::size_t i = 0; i < slotsTaken.load() && i < slots.size(); ++i) {
    const auto made = after[i] - before[i];
    const std::string name = ThreadName(slots[i].tid.load());
    const bool bridge =
        slots[i].tid.load() == static_cast<long>(getpid()) || name.rfind("serial-", 0) == 0;
    const double perMessage = static_cast<double>(made) / messages;
    if (bridge) ours += perMessage;
    if (made > 0 || bridge) {
      std::printf("  %-18s %8.3f%s\n", name.c_str(), perMessage, bridge ? "  (the bridge)" : "");
    }
  }
  std::printf("  the bridge's threads: %.3f per message\n", ours);
  return true;
}

}  // namespace

int main() {
  bench::Pty pty;
  auto midi = std::make_shared<platform::midi::SimulatedMidiService>();
  const auto in = midi->AddInput("In 1");
  midi->AddOutput("Out 1");
  // Counts what reaches the output without recording it (the simulation's record allocates).
  auto timed = std::make_shared<bench::TimedMidiService>(midi);
  std::atomic<std::uint64_t> toMidi{0};
  timed->onOutput = [&toMidi](std::uint32_t, auto) { toMidi.fetch_add(1); };
  bench::BridgeRig rig(timed, pty);
  std::atomic<std::uint64_t> toSerial{0};
  bench::SerialTap tap(pty.master(), [&](std::uint32_t, auto) { toSerial.fetch_add(1); });
  auto& pump = platform::MessagePump::current();
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!rig.Ready() && Clock::now() < deadline) {
    pump.processMessages();
    pump.waitMessage(Clock::now() + std::chrono::milliseconds(10));
  }
  if (!rig.Ready()) {
    std::printf("the bridge did not open its devices\n");
    return 1;
  }

  const auto midiToSerial = [&](int i) {
    midi->PlayShort(in, 0x400090u | static_cast<std::uint32_t>(i % 128) << 8);
  };
  const auto serialToMidi = [&](int i) {
    const std::uint8_t note[3] = {0x80, static_cast<std::uint8_t>(i % 128), 0};
    static_cast<void>(!::write(pty.master(), note, sizeof note));
  };
  // Warm-up: buffers, log lines and queues reach their steady sizes.
  const std::uint64_t serialBefore = toSerial;
  const std::uint64_t midiBefore = toMidi;
  constexpr int kWarm = 500, kMessages = 2000;
  bool ok = Phase("warm-up, MIDI -> serial", kWarm, midiToSerial,
                  [&](int n) { return toSerial - serialBefore >= static_cast<std::uint64_t>(n); });
  ok = ok && Phase("warm-up, serial -> MIDI", kWarm, serialToMidi,
                   [&](int n) { return toMidi - midiBefore >= static_cast<std::uint64_t>(n); });
  std::printf("\n");
  const std::uint64_t serialStart = toSerial;
  ok = ok && Phase("MIDI -> serial", kMessages, midiToSerial,
                   [&](int n) { return toSerial - serialStart >= static_cast<std::uint64_t>(n); });
  const std::uint64_t midiStart = toMidi;
  ok = ok && Phase("serial -> MIDI", kMessages, serialToMidi,
                   [&](int n) { return toMidi - midiStart >= static_cast<std::uint64_t>(n); });
  return ok ? 0 : 1;
}
