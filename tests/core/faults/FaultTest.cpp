// The bridge under faults: devices that vanish while open, a flood of MIDI input, garbage on the
// serial line and hundreds of device changes while traffic flows. All through the real bridge,
// the real serial components on pseudo-terminals and the MIDI components on a simulated service.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <thread>

#include "core/faults/BridgeRig.h"
#include "support/PtyPair.h"

namespace velmora::faults {
namespace {

using namespace std::chrono_literals;
using core::DeviceList;
using core::kClosedColor;
using core::kOpenColor;
using core::Shape;

constexpr std::uint32_t kNoteOn = 0x403C90;  // 90 3C 40

// Runs `step` from a thread of its own at a steady pace until stopped: traffic as a device
// makes it, not as fast as a loop can.
class Paced {
 public:
  Paced(std::chrono::milliseconds tick, std::function<void()> step)
      : thread_([this, tick, step = std::move(step)] {
          auto next = std::chrono::steady_clock::now();
          while (!stop_.load()) {
            step();
            next += tick;
            std::this_thread::sleep_until(next);  // pacing: the device's rate
          }
        }) {}
  ~Paced() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: runs on the fields above
};

// Plays `perTick` note-ons every 10 ms into a MIDI input until stopped.
class MidiPlayer {
 public:
  MidiPlayer(SimulatedMidiService& midi, SimulatedMidiService::DeviceKey input, int perTick)
      : pace_(10ms, [&midi, input, perTick, this] {
          for (int k = 0; k < perTick; ++k) {
            const auto note = static_cast<std::uint32_t>(played_.load() % 128);
            if (midi.PlayShort(input, 0x400090 | (note << 8))) ++played_;
          }
        }) {}
  void Stop() { pace_.Stop(); }
  std::size_t Played() const { return played_.load(); }

 private:
  std::atomic<std::size_t> played_{0};
  Paced pace_;  // last: plays on played_
};

// Whether the bytes are whole three-byte note-ons, one after another.
bool WholeNoteOns(const Bytes& bytes) {
  if (bytes.size() % 3 != 0) return false;
  for (std::size_t k = 0; k < bytes.size(); k += 3) {
    if (bytes[k] != 0x90 || bytes[k + 1] >= 0x80 || bytes[k + 2] != 0x40) return false;
  }
  return true;
}

int LogLinesStarting(const core::WindowModel& window, const std::string& start) {
  int count = 0;
  for (int i = 0; i < window.LogCount(); ++i) count += window.LogLine(i).rfind(start, 0) == 0;
  return count;
}

bool AllOpen(const core::WindowModel& window) {
  return window.ShapeColor(Shape::ComPort) == kOpenColor &&
         window.ShapeColor(Shape::MidiIn) == kOpenColor &&
         window.ShapeColor(Shape::MidiOut) == kOpenColor;
}

TEST(Faults, AMidiDeviceThatVanishesWhileOpenLeavesTheBridgeWorkingAndOpensWhenBack) {
  // Every line, not just the last 40 that the window keeps: the serial side logs on meanwhile.
  // Made first: the rig's close, which releases the held notes, still logs.
  std::vector<std::string> lines;
  BridgeRig rig(1, 2);
  rig.window.SetOnLogLine([&](const std::string& line) { lines.push_back(line); });
  const auto linesStarting = [&](const std::string& start) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(start, 0) == 0; });
  };
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));

  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], kNoteOn));
    ASSERT_TRUE(rig.WriteFar(1, {0x91, 0x3C, 0x50}));
  }
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.Far(1).Count() >= 60 && rig.MidiSent(1).size() >= 20; }));

  // Both devices go while bytes keep coming from the serial side.
  rig.midi->Remove(rig.inputs[0]);
  rig.midi->Remove(rig.outputs[0]);
  EXPECT_FALSE(rig.midi->PlayShort(rig.inputs[0], kNoteOn));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(rig.WriteFar(1, {0x92, 0x3C, 0x50}));
  ASSERT_TRUE(rig.PumpUntil([&] {
    return rig.window.ShapeColor(Shape::MidiIn) == kClosedColor &&
           rig.window.ShapeColor(Shape::MidiOut) == kClosedColor;
  }));
  EXPECT_TRUE(rig.ProbeLatency(5s).has_value()) << "the window stopped handling messages";
  std::string what;
  EXPECT_TRUE(rig.MidiSentWellFormed(1, &what)) << what;

  // Meanwhile the choices stay listed, marked absent.
  ASSERT_TRUE(rig.PumpUntil([&] {
    return rig.window.ListSelectedText(DeviceList::MidiIn) == "In 1 — absent" &&
           rig.window.ListSelectedText(DeviceList::MidiOut) == "Out 1 — absent";
  }));
  EXPECT_EQ(linesStarting("[MIDI-In] - In 1 : débranché"), 1);
  EXPECT_EQ(linesStarting("[Midi-Out] - Out 1 : débranché"), 1);

  // They come back under their names and open again by themselves.
  rig.inputs[0] = rig.midi->AddInput("In 1");
  rig.outputs[0] = rig.midi->AddOutput("Out 1");
  ASSERT_TRUE(rig.PumpUntil([&] { return AllOpen(rig.window); }));
  EXPECT_EQ(rig.window.ListSelectedText(DeviceList::MidiIn), "In 1");
  EXPECT_EQ(linesStarting("[MIDI-In] - In 1 : rebranché, rouvert"), 1);
  EXPECT_EQ(linesStarting("[Midi-Out] - Out 1 : rebranché, rouvert"), 1);
  const std::size_t before = rig.Far(1).Count();
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], kNoteOn));
  ASSERT_TRUE(rig.WriteFar(1, {0x93, 0x3C, 0x50}));
  // Bytes of the 0x92 run that the bridge read late may reach the reopened output first.
  EXPECT_TRUE(rig.PumpUntil([&] {
    return rig.Far(1).Count() >= before + 3 && !rig.MidiSent(1).empty() &&
           rig.MidiSent(1).back().packed == 0x503C93u;
  }));
}

TEST(Faults, ASerialDeviceThatVanishesWhileTrafficFlowsDoesNotHangTheWindowAndOpensWhenBack) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  MidiPlayer player(*rig.midi, rig.inputs[0], 2);  // 200 messages a second towards the port
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(rig.WriteFar(1, {0x91, 0x3C, 0x50}));
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.Far(1).Count() >= 30 && rig.MidiSent(1).size() >= 50; }));

  rig.Unplug(1);  // the adapter is pulled; MIDI input keeps coming
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kClosedColor; }));
  EXPECT_TRUE(rig.ProbeLatency(5s).has_value()) << "the window stopped handling messages";
  rig.window.LogClear();
  ASSERT_TRUE(rig.PumpUntil([&] { return LogLinesStarting(rig.window, "[MIDI-In]") >= 10; }));
  EXPECT_EQ(LogLinesStarting(rig.window, "[Com-Tx]"),
            LogLinesStarting(rig.window, "[Com-Tx] - port série fermé"))
      << "written while gone";

  rig.Replug(1);  // back: open again by itself, without a click
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kOpenColor; }));
  EXPECT_EQ(LogLinesStarting(rig.window, "[RS232] - "), 1);
  const std::size_t sent = rig.MidiSent(1).size();
  ASSERT_TRUE(rig.WriteFar(1, {0x94, 0x3C, 0x50}));
  EXPECT_TRUE(
      rig.PumpUntil([&] { return rig.Far(1).Count() >= 30 && rig.MidiSent(1).size() > sent; }));
  player.Stop();
  EXPECT_EQ(rig.MidiSent(1).back().packed, 0x503C94u);
}

TEST(Faults, AVanishedSerialDeviceTurnsItsShapeRedAndGetsNothingMore) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  MidiPlayer player(*rig.midi, rig.inputs[0], 2);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() >= 30; }));
  rig.Unplug(1);
  EXPECT_TRUE(
      rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kClosedColor; }, 10s));
  EXPECT_FALSE(rig.bridge->ComPortOpened);
  EXPECT_FALSE(rig.bridge->SerialPort->Open());
  // MIDI input goes on being handled and logged, and nothing more goes to the lost port.
  rig.window.LogClear();
  EXPECT_TRUE(rig.PumpUntil([&] { return LogLinesStarting(rig.window, "[MIDI-In]") >= 10; }));
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kClosedColor);
  // The messages with nowhere to go are counted, not written.
  EXPECT_TRUE(rig.PumpUntil(
      [&] { return LogLinesStarting(rig.window, "[Com-Tx] - port série fermé : ") > 0; }));
  EXPECT_EQ(LogLinesStarting(rig.window, "[Com-Tx]"),
            LogLinesStarting(rig.window, "[Com-Tx] - port série fermé : "));
}

TEST(Faults, AVanishedMidiDeviceTurnsItsShapeRed) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.midi->Remove(rig.inputs[0]);
  rig.midi->Remove(rig.outputs[0]);
  EXPECT_TRUE(
      rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::MidiIn) == kClosedColor; }, 5s));
  EXPECT_TRUE(
      rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::MidiOut) == kClosedColor; }, 5s));
  // The serial side is untouched and the window goes on handling messages.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rig.WriteFar(1, {0x91, 0x3C, 0x50}));
  EXPECT_TRUE(
      rig.PumpUntil([&] { return rig.bridge->Losses().Total(core::Loss::MidiOutClosed) == 10; }));
  EXPECT_TRUE(rig.ProbeLatency(5s).has_value());
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
}

TEST(Faults, AFloodOfMidiInputKeepsTheWindowAliveSendsOnlyWholeMessagesAndRecovers) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.PumpFor(200ms);
  const std::size_t residentBefore = ResidentKiB();

  // The line carries 1280 three-byte messages a second; ten times that for ten seconds.
  std::chrono::microseconds worst{0};
  std::size_t probes = 0;
  {
    MidiPlayer player(*rig.midi, rig.inputs[0], 128);
    // A pseudo-terminal takes bytes faster than any line: for the first half the far end reads
    // nothing, so the port's output and then the bridge's wait fill (bounded below its 1 MiB
    // here, to be reached in those seconds) and the bridge must refuse messages.
    rig.bridge->SetComWaitLimit(64 * 1024);
    rig.Far(1).SetPaused(true);
    const auto half = std::chrono::steady_clock::now() + 5s;
    const auto end = half + 5s;
    while (std::chrono::steady_clock::now() < end) {
      if (std::chrono::steady_clock::now() >= half) rig.Far(1).SetPaused(false);
      const auto latency = rig.ProbeLatency(5s);
      ASSERT_TRUE(latency.has_value()) << "a posted message waited more than 5 s";
      worst = std::max(worst, *latency);
      ++probes;
      rig.PumpFor(50ms);
    }
    player.Stop();
    rig.midi->Flush();
    // Every message played is either through or counted as refused.
    EXPECT_TRUE(rig.PumpUntil([&] {
      return rig.Far(1).Count() / 3 + rig.bridge->ComTxRefused + rig.bridge->MidiInRefused ==
             player.Played();
    }));
    const Bytes received = rig.Far(1).Received();
    EXPECT_TRUE(WholeNoteOns(received)) << "a message was cut or mixed";
    const std::size_t played = player.Played();
    const std::size_t through = received.size() / 3;
    EXPECT_LE(through, played);
    EXPECT_GT(through, 0u);
    EXPECT_GT(played - through, 0u) << "a full line refused nothing";
    EXPECT_EQ(through + rig.bridge->ComTxRefused + rig.bridge->MidiInRefused, played)
        << "a message was lost without being counted";
    ::testing::Test::RecordProperty("played", static_cast<int>(played));
    ::testing::Test::RecordProperty("refused", static_cast<int>(played - through));
    std::printf("flood: %zu played, %zu sent, %zu refused; worst probe wait %lld us over %zu\n",
                played, through, played - through, static_cast<long long>(worst.count()), probes);
  }
  const std::size_t residentAfter = ResidentKiB();
  std::printf("flood: resident %zu KiB before, %zu KiB after\n", residentBefore, residentAfter);
  EXPECT_LT(residentAfter, residentBefore + 64 * 1024) << "memory grew with the flood";

  // Afterwards everything goes on as before.
  const std::size_t before = rig.Far(1).Count();
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], 0x7F4095));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() >= before + 3; }));
  const Bytes received = rig.Far(1).Received();
  EXPECT_EQ(Bytes(received.end() - 3, received.end()), (Bytes{0x95, 0x40, 0x7F}));
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
}

TEST(Faults, AMillionRandomBytesOnTheSerialLineGiveOnlyWellFormedMidi) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.PumpFor(200ms);
  const std::size_t residentBefore = ResidentKiB();

  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::mt19937 random(20261207);
    Bytes block(4096);
    for (int n = 0; n < 1'000'000 / 4096 + 1; ++n) {
      for (auto& b : block) b = static_cast<std::uint8_t>(random());
      if (!rig.WriteFar(1, block, 60s)) break;
    }
    written = true;
  });
  const bool done = rig.PumpUntil([&] { return written.load(); }, 300s);
  writer.join();
  ASSERT_TRUE(done) << "the bridge stopped taking bytes";
  // A clean message after the garbage comes through whole (an F7 first ends any sysex), and
  // behind it all the garbage has been through.
  ASSERT_TRUE(rig.WriteFar(1, {0xF7, 0x96, 0x3C, 0x50}));
  ASSERT_TRUE(rig.PumpUntil(
      [&] {
        const auto sent = rig.MidiSent(1);
        return !sent.empty() && !sent.back().isLong && sent.back().packed == 0x503C96u;
      },
      60s));
  const std::size_t count = rig.MidiSent(1).size() - 1;
  const std::size_t residentAfter = ResidentKiB();
  std::printf("garbage: %zu MIDI messages out; resident %zu KiB before, %zu KiB after\n", count,
              residentBefore, residentAfter);
  EXPECT_GT(count, 0u);
  std::string what;
  EXPECT_TRUE(rig.MidiSentWellFormed(1, &what)) << what;
  EXPECT_LT(residentAfter, residentBefore + 96 * 1024) << "memory grew with the garbage";
}

TEST(Faults, FiveHundredDeviceChangesWhileTrafficFlowsLeakNothing) {
  BridgeRig rig(2, 2);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.PumpFor(200ms);
  const std::size_t descriptors = testing::OpenDescriptorCount();
  const std::size_t threads = testing::ThreadCount();

  MidiPlayer player1(*rig.midi, rig.inputs[0], 1);
  MidiPlayer player2(*rig.midi, rig.inputs[1], 1);
  Paced writer(5ms, [&] {
    rig.WriteFar(1, {0x91, 0x3C, 0x50}, 100ms);
    rig.WriteFar(2, {0x92, 0x3C, 0x50}, 100ms);
  });
  for (int change = 0; change < 500; ++change) {
    const int index = (change / 3 + 1) % 2;
    switch (change % 3) {
      case 0:
        rig.ChooseComPort(index);
        break;
      case 1:
        rig.ChooseMidiIn(index);
        break;
      default:
        rig.ChooseMidiOut(index);
        break;
    }
    ASSERT_NE(rig.window.ShapeColor(Shape::ComPort), core::kSwitchingColor) << change;
  }
  writer.Stop();
  player1.Stop();
  player2.Stop();
  rig.ChooseComPort(0);
  rig.ChooseMidiIn(0);
  rig.ChooseMidiOut(0);
  EXPECT_TRUE(AllOpen(rig.window));
  EXPECT_TRUE(rig.PumpUntil([&] {
    return testing::OpenDescriptorCount() == descriptors && testing::ThreadCount() == threads;
  }));
  EXPECT_EQ(testing::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(testing::ThreadCount(), threads);
  std::string what;
  EXPECT_TRUE(rig.MidiSentWellFormed(1, &what)) << what;
  EXPECT_TRUE(rig.MidiSentWellFormed(2, &what)) << what;

  // Still forwarding on the devices chosen last.
  const std::size_t before = rig.Far(1).Count();
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], kNoteOn));
  EXPECT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() >= before + 3; }));
}

}  // namespace
}  // namespace velmora::faults
