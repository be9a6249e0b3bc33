// What crosses the bridge, kind by kind, each way, as the user chooses: through the real bridge
// on a pseudo-terminal and the simulated MIDI service. And a long dump to a line that reads at
// a 31250-baud line's pace, with a DAW's clock going on meanwhile.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/faults/BridgeRig.h"
#include "platform/midi/MidiService.h"

namespace velmora::faults {
namespace {

using namespace std::chrono_literals;
using core::MessageChoice;
using core::MessageKind;
using core::MessageKinds;

// The bytes of what reached a MIDI output, message after message.
Bytes Flatten(const std::vector<SimulatedMidiService::Sent>& sent, std::size_t from = 0) {
  Bytes bytes;
  for (std::size_t i = from; i < sent.size(); ++i) {
    if (sent[i].isLong) {
      bytes.insert(bytes.end(), sent[i].bytes.begin(), sent[i].bytes.end());
      continue;
    }
    const auto status = static_cast<std::uint8_t>(sent[i].packed & 0xFF);
    for (std::size_t k = 0; k < platform::midi::ShortMessageLength(status); ++k) {
      bytes.push_back(static_cast<std::uint8_t>((sent[i].packed >> (8 * k)) & 0xFF));
    }
  }
  return bytes;
}

bool EndsWith(const Bytes& bytes, const Bytes& tail) {
  return bytes.size() >= tail.size() &&
         std::equal(tail.begin(), tail.end(),
                    bytes.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

// Each kind, each way, chosen and left out: a sample of it, then a marker of another kind that
// crosses either way; once the marker is through, the sample was or was not, byte for byte.
TEST(Messages, EachKindCrossesEachWayExactlyWhenChosen) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiOutOpen(); }));
  const struct {
    MessageKind kind;
    Bytes sample;
  } kinds[] = {
      {MessageKind::Channel, {0x90, 0x3C, 0x64}},
      {MessageKind::Sysex, {0xF0, 0x7D, 1, 2, 0xF7}},
      {MessageKind::Common, {0xF2, 0x10, 0x20}},
      {MessageKind::Clock, {0xF8}},
      {MessageKind::Transport, {0xFA}},
      {MessageKind::Sensing, {0xFE}},
      {MessageKind::Reset, {0xFF}},
  };
  for (const auto& test : kinds) {
    const bool channel = test.kind == MessageKind::Channel;
    const MessageKind markerKind = channel ? MessageKind::Common : MessageKind::Channel;
    const Bytes marker = channel ? Bytes{0xF3, 0x05} : Bytes{0x80, 0x7F, 0x00};
    for (const bool toSerial : {true, false}) {
      for (const bool chosen : {true, false}) {
        SCOPED_TRACE(std::string(core::KindName(test.kind)) +
                     (toSerial ? " to serial" : " to MIDI") + (chosen ? ", chosen" : ", left out"));
        MessageKinds kinds = MessageKinds{test.kind, markerKind};
        if (!chosen) {
          kinds = MessageKinds::All();
          kinds.Set(test.kind, false);
        }
        MessageChoice choice;
        (toSerial ? choice.toSerial : choice.toMidi) = kinds;
        rig.bridge->SetMessageChoice(choice);
        Bytes expected = chosen ? test.sample : Bytes{};
        expected.insert(expected.end(), marker.begin(), marker.end());
        if (toSerial) {
          const std::size_t before = rig.Far(1).Count();
          ASSERT_TRUE(rig.midi->Play(rig.inputs[0], test.sample));
          ASSERT_TRUE(rig.midi->Play(rig.inputs[0], marker));
          ASSERT_TRUE(rig.PumpUntil([&] {
            const Bytes received = rig.Far(1).Received();
            return received.size() >= before + expected.size() && EndsWith(received, marker);
          }));
          const Bytes received = rig.Far(1).Received();
          EXPECT_EQ(Bytes(received.begin() + static_cast<std::ptrdiff_t>(before), received.end()),
                    expected);
        } else {
          const std::size_t before = rig.MidiSent(1).size();
          Bytes written = test.sample;
          written.insert(written.end(), marker.begin(), marker.end());
          ASSERT_TRUE(rig.WriteFar(1, written));
          ASSERT_TRUE(rig.PumpUntil([&] {
            const Bytes sent = Flatten(rig.MidiSent(1), before);
            return sent.size() >= expected.size() && EndsWith(sent, marker);
          }));
          EXPECT_EQ(Flatten(rig.MidiSent(1), before), expected);
        }
      }
    }
  }
  EXPECT_EQ(rig.bridge->Losses().Total(core::Loss::ComFull), 0u);
  EXPECT_EQ(rig.bridge->Losses().Total(core::Loss::MidiOutClosed), 0u);
}

// Text frames: read as log lines when chosen, nothing of them reaching MIDI and the running
// status around them kept; otherwise the FF is the System Reset it looks like.
TEST(Messages, SerialTextFramesBecomeLogLinesOnlyWhenChosen) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiOutOpen(); }));
  const Bytes written{0x90, 0x3C, 0x64, 0xFF, 0x00, 0x00, 0x03, 'B', 'P', 'M', 0x3E, 0x64};
  for (const bool text : {true, false}) {
    SCOPED_TRACE(text ? "read" : "not read");
    MessageChoice choice;
    choice.serialText = text;
    rig.bridge->SetMessageChoice(choice);
    rig.window.LogClear();
    const std::size_t before = rig.MidiSent(1).size();
    ASSERT_TRUE(rig.WriteFar(1, written));
    const Bytes last{0x90, 0x3E, 0x64};
    ASSERT_TRUE(rig.PumpUntil([&] { return EndsWith(Flatten(rig.MidiSent(1), before), last); }));
    // Unread, the frame is a System Reset and notes of the running status.
    const Bytes expected = text ? Bytes{0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64}
                                : Bytes{0x90, 0x3C, 0x64, 0xFF, 0x90, 0x00, 0x00, 0x90,
                                        0x03, 'B',  0x90, 'P',  'M',  0x90, 0x3E, 0x64};
    EXPECT_EQ(Flatten(rig.MidiSent(1), before), expected);
    bool logged = false;
    for (int i = 0; i < rig.window.LogCount(); ++i) {
      logged = logged || rig.window.LogLine(i) == "[Com-Rx] texte : BPM";
    }
    EXPECT_EQ(logged, text);
  }
}

// Serial to MIDI, a dump of the longest a MIDI event holds (64 KiB less a byte) goes out whole,
// as one message.
TEST(Messages, ASerialDumpOfTheLongestAnEventHoldsReachesMidiWhole) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiOutOpen(); }));
  Bytes dump(core::MidiAssembler::kMaxSysex);
  dump.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < dump.size(); ++i) dump[i] = static_cast<std::uint8_t>(i % 128);
  dump.back() = 0xF7;
  // Written from a thread of its own: the bridge's thread must take what arrives meanwhile.
  std::atomic<bool> written{false};
  std::thread writer([&] { written = rig.WriteFar(1, dump, 60s); });
  const bool came = rig.PumpUntil([&] { return !rig.MidiSent(1).empty(); });
  writer.join();
  ASSERT_TRUE(written.load());
  ASSERT_TRUE(came);
  const auto sent = rig.MidiSent(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].isLong);
  EXPECT_EQ(sent[0].bytes, dump);
}

// Serial to MIDI, a dump longer than the output's largest event gets one line with its
// length and the lamp, never a line per byte; F4 and F5 cross alone when every kind does.
TEST(Messages, ASerialDumpTooLongIsOneLineAndUndefinedStatusCrossesWithAll) {
  BridgeRig rig(1, 1);
  rig.midi->SetLargestEvent(1000);
  rig.Start();
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiOutOpen(); }));
  Bytes dump(1500, 0x11);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  Bytes written = dump;
  for (const std::uint8_t byte : {0xF5, 0x02, 0x90, 0x3C, 0x64}) written.push_back(byte);
  rig.window.LogClear();
  ASSERT_TRUE(rig.WriteFar(1, written));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() >= 2; }));
  EXPECT_EQ(Flatten(rig.MidiSent(1)), (Bytes{0xF5, 0x90, 0x3C, 0x64}));
  int tooLong = 0;
  for (int i = 0; i < rig.window.LogCount(); ++i) {
    tooLong += rig.window.LogLine(i) ==
               "[Midi-Out] - système exclusif trop long : 1500 octets non transmis";
  }
  EXPECT_EQ(tooLong, 1);
  EXPECT_LT(rig.window.LogCount(), 10) << "no line per byte";
  EXPECT_TRUE(rig.window.LampOf(core::Lamp::MidiError).Lit());
}

// Notes the MIDI input left on at the serial side are switched off there when it vanishes.
TEST(Messages, NotesFromAVanishedInputAreSwitchedOffOnTheSerialSide) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], {0x91, 0x3C, 0x64}));
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], {0x91, 0x40, 0x64}));
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], {0x81, 0x40, 0x00}));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() >= 9; }));
  rig.midi->Remove(rig.inputs[0]);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() >= 12; }));
  const Bytes received = rig.Far(1).Received();
  EXPECT_EQ(Bytes(received.begin() + 9, received.end()), (Bytes{0x81, 0x3C, 0x40}));
}

// Stopping lets what waits for the line go out; what the bound does not leave time for is
// counted in one line.
TEST(Messages, StoppingDrainsWhatWaitsWithinItsBoundAndCountsTheRest) {
  BridgeRig rig(1, 1);
  rig.bridge->Choice.line.baud = 31250;
  rig.bridge->SetMessageChoice({MessageKinds{MessageKind::Sysex, MessageKind::Channel}});
  rig.Start();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  for (const std::size_t size : {300u, 20000u}) {
    SCOPED_TRACE(size);
    Bytes dump(size, 0x22);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    const std::size_t before = rig.Far(1).Count();
    ASSERT_TRUE(rig.midi->Play(rig.inputs[0], dump));
    ASSERT_TRUE(rig.midi->Play(rig.inputs[0], {0x90, 0x3C, 0x64}));
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComWaiting() > 0; }));
    const std::string left = rig.bridge->DrainForExit(500ms);
    if (size == 300) {
      EXPECT_EQ(left, "");
      ASSERT_TRUE(rig.Far(1).WaitCount(before + size + 3, 5s));
    } else {
      EXPECT_EQ(left, "[Com-Tx] - arrêt du programme : 2 messages non transmis");
      EXPECT_EQ(rig.window.LogLine(rig.window.LogCount() - 1), left);
    }
  }
}

// A 64 KiB dump at 31250 baud while a DAW's clock (48 a second) goes on: every byte arrives in
// order and none is counted lost, each clock byte goes between the dump's bytes, and the dump
// goes at the line's pace. Both are read from what the bridge had handed to the port when it
// wrote each clock byte, not from where the far end was reading: the clock must come right
// behind that, and that must never be ahead of the line's time since the dump began. A
// machine that holds any thread up (the far end, the bridge, the port's output) only makes it
// smaller. How near in time is the benchmark's clock phase to tell.
TEST(Messages, ALongDumpGoesAtTheLinesPaceWithTheClockBetweenItsBytes) {
  BridgeRig rig(1, 1);
  rig.bridge->Choice.line.baud = 31250;
  rig.bridge->SetMessageChoice({MessageKinds{MessageKind::Sysex, MessageKind::Clock}});
  rig.Start();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  rig.Far(1).SetRate(3125);
  Bytes dump(65536);
  dump.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < dump.size(); ++i) dump[i] = static_cast<std::uint8_t>(i % 127);
  dump.back() = 0xF7;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], dump));
  const std::string line =
      "[MIDI-In] - " + core::LogHex(dump.data(), dump.size(), true) + " (System Message)";
  ASSERT_TRUE(rig.PumpUntil([&] {
    return rig.window.LogCount() > 1 && rig.window.LogLine(rig.window.LogCount() - 2) == line;
  })) << "the dump's line, then its [Com-Tx] line: all of it waits its turn";

  // As each clock byte is written (bridge thread): the dump's bytes handed to the port so far.
  struct Written {
    std::size_t handed;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Written> written;
  rig.window.SetOnLogLine([&](const std::string& text) {
    if (text != "[Com-Tx] - F8") return;
    written.push_back({dump.size() - rig.bridge->ComWaiting(), std::chrono::steady_clock::now()});
  });
  std::atomic<bool> stop{false}, stopped{false};
  std::atomic<std::size_t> clocks{0};
  std::thread clock([&] {
    auto next = std::chrono::steady_clock::now();
    while (!stop.load() && rig.Far(1).Count() < dump.size() / 2) {
      rig.midi->PlayShort(rig.inputs[0], 0xF8);
      ++clocks;
      next += std::chrono::microseconds(20833);
      std::this_thread::sleep_until(next);  // pacing: 120 BPM, 24 clocks a beat
    }
    stopped = true;
  });
  const bool through = rig.PumpUntil(
      [&] { return stopped.load() && rig.Far(1).Count() >= dump.size() + clocks.load(); }, 120s);
  stop = true;
  clock.join();
  rig.window.SetOnLogLine(nullptr);
  ASSERT_TRUE(through) << rig.Far(1).Count() << " bytes came";

  const Bytes received = rig.Far(1).Received();
  std::vector<std::size_t> clockAt;
  Bytes withoutClock;
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (received[i] == 0xF8) {
      clockAt.push_back(i);
    } else {
      withoutClock.push_back(received[i]);
    }
  }
  EXPECT_EQ(withoutClock, dump) << "the dump came whole and in order";
  ASSERT_EQ(clockAt.size(), written.size());
  ASSERT_GT(clockAt.size(), 100u);
  // The pace lets a byte or two go ahead of the line's time.
  constexpr std::size_t kLead = 4;
  const double perSecond = 31250.0 / 10;
  for (std::size_t k = 0; k < clockAt.size(); ++k) {
    EXPECT_LE(clockAt[k], written[k].handed + k) << "clock " << k << " behind what waited";
    const double lineBytes =
        std::chrono::duration<double>(written[k].at - start).count() * perSecond;
    EXPECT_LE(static_cast<double>(written[k].handed), lineBytes + kLead)
        << "the dump ahead of the line at clock " << k;
  }
  EXPECT_LT(clockAt.back(), dump.size()) << "held for the dump";
  EXPECT_EQ(rig.bridge->Losses().Total(core::Loss::ComFull), 0u);
  EXPECT_EQ(rig.bridge->ComTxRefused, 0u);
  EXPECT_EQ(rig.bridge->MidiInRefused, 0u);
}

}  // namespace
}  // namespace velmora::faults
