#include <gtest/gtest.h>

#include <cctype>

#include "BridgeFixture.h"
#include "core/Bridge.h"
#include "core/WindowModel.h"
#include "platform/MessagePump.h"
#include "support/Wait.h"
#include "ui/MainWindowHandlers.h"

using velmora::core::Bridge;
using velmora::core::WindowModel;
using velmora::midi::TMyMidiEvent;
using velmora::test::FakeFactory;
using velmora::test::SentEvent;
using velmora::test::SteppingClock;
using velmora::ui::TfmMain;

namespace {

struct Forwarding : velmora::test::BridgeFixture {
  void SetUp() override {
    factory.midiInView->names = {"In A"};
    factory.midiOutView->names = {"Out A"};
    create();
  }

  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < window.LogCount(); ++i) lines.push_back(window.LogLine(i));
    return lines;
  }

  void midiIn(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
    TMyMidiEvent event;
    event.StatusByte = status;
    event.FirstDataByte = d1;
    event.SecondDataByte = d2;
    factory.midiInView->events.push_back(std::move(event));
  }

  void serialIn(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) form->DoPacket(&b, 1);  // one-byte packets, as configured
  }
};

using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST_F(Forwarding, ChannelMessagesFromMidiGoToThePortWithTheirLines) {
  bridge->OpenComPort();
  midiIn(0x90, 0x3C, 0x64);
  midiIn(0xC5, 0x07, 0x00);
  midiIn(0xD0, 0x22, 0x00);
  midiIn(0xE0, 0x00, 0x40);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_EQ(log(), (Lines{"[MIDI-In] - 90 3C 64 (Note On)", "[Com-Tx] - 90 3C 64",
                          "[MIDI-In] - C5 07 (Program Change)", "[Com-Tx] - C5 07",
                          "[MIDI-In] - D0 22 (Channel Aftertouch)", "[Com-Tx] - D0 22",
                          "[MIDI-In] - E0 00 40 (Pitch Bend)", "[Com-Tx] - E0 00 40"}));
  EXPECT_EQ(
      factory.portView->written,
      (std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xC5, 0x07}, {0xD0, 0x22}, {0xE0, 0x00, 0x40}}));
  EXPECT_TRUE(window.LampOf(velmora::core::Lamp::MidiIn).Lit());
  EXPECT_TRUE(window.TimerEnabled(velmora::core::Timer::MidiIn));
  EXPECT_EQ(bridge->MidiInput->EventCount(), 0);
}

TEST_F(Forwarding, SystemMessagesFromMidiAreDroppedSilently) {
  bridge->OpenComPort();
  midiIn(0xFA, 0, 0);
  TMyMidiEvent sysex;
  sysex.StatusByte = 0xF0;
  sysex.SysexSize = 2;
  sysex.SysexData = std::make_unique<std::uint8_t[]>(2);
  factory.midiInView->events.push_back(std::move(sysex));
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(factory.portView->written.empty());
}

TEST_F(Forwarding, AClosedOrRefusingPortCountsEachLossAndLightsTheSerialErrorLamp) {
  using velmora::core::Lamp;
  using velmora::core::Loss;
  midiIn(0x80, 0x3C, 0x00);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_EQ(log(), Lines{"[MIDI-In] - 80 3C 00 (Note Off)"});
  EXPECT_EQ(bridge->Losses().Owed(Loss::ComClosed), 1u);
  EXPECT_TRUE(window.LampOf(Lamp::ComError).Lit());
  EXPECT_FALSE(window.LampOf(Lamp::MidiError).Lit());

  bridge->OpenComPort();  // the episode ends with its line
  EXPECT_EQ(log().back(), "[Com-Tx] - port série fermé : 1 message non transmis");
  window.LogClear();
  factory.portView->putBlockRaises = true;
  midiIn(0xB0, 0x07, 0x7F);
  midiIn(0xB0, 0x07, 0x7E);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_EQ(log(), (Lines{"[MIDI-In] - B0 07 7F (Control Change)",
                          "[MIDI-In] - B0 07 7E (Control Change)"}));
  EXPECT_TRUE(factory.portView->written.empty());

  window.LogClear();
  factory.portView->putBlockRaises = false;
  midiIn(0xC0, 0x01, 0x00);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_EQ(log(), (Lines{"[MIDI-In] - C0 01 (Program Change)",
                          "[Com-Tx] - écriture refusée par le port série (write failed) : 2 "
                          "messages non transmis",
                          "[Com-Tx] - C0 01"}));
  EXPECT_EQ(bridge->Losses().Total(Loss::ComRefused), 2u);
}

// What the port has no room for waits in the bridge and goes, in order, once there is room;
// what would take the wait above its bound is lost and counted.
TEST_F(Forwarding, AFullPortKeepsMessagesWaitingInOrderAndLosesWhatGoesBeyondTheBound) {
  bridge->OpenComPort();
  factory.portView->outFree = 0;
  bridge->SetComWaitLimit(6);
  for (std::uint8_t note = 0; note < 3; ++note) midiIn(0x90, note, 0x40);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_TRUE(factory.portView->written.empty());
  EXPECT_EQ(bridge->ComWaiting(), 6u);
  EXPECT_EQ(bridge->ComTxRefused, 1u);
  EXPECT_EQ(log(), (Lines{"[MIDI-In] - 90 00 40 (Note On)", "[Com-Tx] - 90 00 40",
                          "[MIDI-In] - 90 01 40 (Note On)", "[Com-Tx] - 90 01 40",
                          "[MIDI-In] - 90 02 40 (Note On)"}));
  EXPECT_TRUE(window.LampOf(velmora::core::Lamp::ComError).Lit());

  window.LogClear();
  factory.portView->outFree = 4096;
  EXPECT_TRUE(velmora::testing::PumpUntil([&] { return bridge->ComWaiting() == 0; }));
  EXPECT_EQ(factory.portView->written, (std::vector<Bytes>{{0x90, 0x00, 0x40, 0x90, 0x01, 0x40}}));
  EXPECT_EQ(log(),
            Lines{"[Com-Tx] - tampon d'émission du port série plein : 1 message non transmis"});
}

// Under a flood, notifications wait while DoMidiInput forwards: it drains the ring without
// handing control to the loop first (forwarding never waits for a lamp to be painted), and the
// notifications handled afterwards find the ring empty or drain what came since.
TEST_F(Forwarding, AFloodIsForwardedInOnePassAndLaterNotificationsFindTheRingDrained) {
  constexpr int kWaiting = 3000;
  int handledDuringForwarding = 0;
  bool forwarding = false;
  velmora::platform::MessageWindow notifications([&](const velmora::platform::Message&) {
    if (forwarding) ++handledDuringForwarding;
    form->DoMidiInput(*bridge->MidiInput);
    return std::intptr_t{0};
  });
  for (int i = 0; i < kWaiting; ++i) {
    midiIn(0x90, static_cast<std::uint8_t>(i % 128), 0x40);
    notifications.post(1);
  }
  forwarding = true;
  form->DoMidiInput(*bridge->MidiInput);
  forwarding = false;
  EXPECT_EQ(handledDuringForwarding, 0);
  EXPECT_TRUE(factory.midiInView->events.empty());
  ASSERT_EQ(window.LogCount(), 40);
  EXPECT_EQ(window.LogLine(39), "[MIDI-In] - 90 37 40 (Note On)");  // 2999 % 128 = 55

  midiIn(0x80, 0x01, 0x00);
  notifications.post(1);
  velmora::platform::MessagePump::current().processMessages();
  EXPECT_EQ(window.LogLine(39), "[MIDI-In] - 80 01 00 (Note Off)");
  EXPECT_EQ(window.LogLine(38), "[MIDI-In] - 90 37 40 (Note On)");  // nothing forwarded twice
}

TEST_F(Forwarding, EventsTheMidiInputRefusedAreCounted) {
  ASSERT_TRUE(factory.midiInView->onOverflow);
  factory.midiInView->onOverflow(1);
  factory.midiInView->onOverflow(41);
  EXPECT_EQ(bridge->MidiInRefused, 42u);
}

TEST_F(Forwarding, ATwoByteMessageKeepsTheLastSecondDataByteUnsent) {
  bridge->OpenComPort();
  midiIn(0x90, 0x3C, 0x64);
  midiIn(0xC0, 0x05, 0x33);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_EQ(form->TxRecord.data2, 0x64);
  EXPECT_EQ(form->TxRecord.count, 2);
  EXPECT_EQ(factory.portView->written.back(), (Bytes{0xC0, 0x05}));
}

TEST_F(Forwarding, SerialBytesBecomeWholeMidiMessages) {
  bridge->OpenMidiOut();
  serialIn({0x90, 0x3C, 0x64, 0x40, 0x7F});
  EXPECT_EQ(factory.midiOutView->sent,
            (std::vector<SentEvent>{{0x90, 0x3C, 0x64, {}}, {0x90, 0x40, 0x7F, {}}}));
  EXPECT_EQ(log(), (Lines{"[Com-Rx] - 903C64", "[Midi-Out] - 90 3C 64", "[Com-Rx] - 90407F",
                          "[Midi-Out] - 90 40 7F"}));
  EXPECT_TRUE(window.LampOf(velmora::core::Lamp::MidiOut).Lit());
}

TEST_F(Forwarding, APacketOfSeveralMessagesAndAStrayByte) {
  bridge->OpenMidiOut();
  const std::uint8_t packet[] = {0x3C, 0xC0, 0x05, 0xF8};
  form->DoPacket(packet, sizeof packet);
  EXPECT_EQ(log(), (Lines{"[Com-Rx] - 3C (ignoré)", "[Com-Rx] - C005", "[Midi-Out] - C0 05",
                          "[Com-Rx] - F8", "[Midi-Out] - F8"}));
  form->DoPacket(nullptr, 5);  // nothing to read: nothing happens
  form->DoPacket(packet, 0);
  EXPECT_EQ(window.LogCount(), 5);
}

TEST_F(Forwarding, SysexFromTheSerialPortIsOneLongMessageLoggedShort) {
  bridge->OpenMidiOut();
  std::vector<std::uint8_t> block{0xF0};
  for (int i = 0; i < 18; ++i) block.push_back(static_cast<std::uint8_t>(i));
  block.push_back(0xF7);
  form->DoPacket(block.data(), static_cast<std::int32_t>(block.size()));
  ASSERT_EQ(factory.midiOutView->sent.size(), 1u);
  EXPECT_EQ(factory.midiOutView->sent[0].status, 0xF0);
  EXPECT_EQ(factory.midiOutView->sent[0].sysex, block);
  EXPECT_EQ(log(), (Lines{"[Com-Rx] - F0000102030405060708090A…0F1011F7 (20)",
                          "[Midi-Out] - F0 00 01 02 03 04 05 06 07 08 09 0A … 0F 10 11 F7 (20)"}));
}

TEST_F(Forwarding, AClosedMidiOutputCountsTheLossLightsTheErrorLampWithItsReasonAndRaisesNothing) {
  using velmora::core::Lamp;
  EXPECT_NO_THROW(serialIn({0xF8, 0xF8}));
  EXPECT_EQ(log(), (Lines{"[Com-Rx] - F8", "[Com-Rx] - F8"}));
  EXPECT_FALSE(window.LampOf(Lamp::MidiOut).Lit());  // nothing went out
  EXPECT_TRUE(window.LampOf(Lamp::MidiError).Lit());
  // The reason stays in the status bar, whatever the log shows, until "Reset".
  EXPECT_NE(window.StatusText(0).find("sortie MIDI fermée"), std::string::npos)
      << window.StatusText(0);
  form->Button1Click();
  EXPECT_EQ(window.StatusText(0), "");
  EXPECT_FALSE(window.LampOf(Lamp::MidiError).Lit());
  EXPECT_EQ(bridge->Losses().Owed(velmora::core::Loss::MidiOutClosed), 2u);

  form->Button1Click();
  EXPECT_FALSE(window.LampOf(Lamp::MidiError).Lit());
  window.LogClear();
  bridge->OpenMidiOut();
  EXPECT_EQ(log(), Lines{"[Midi-Out] - sortie MIDI fermée : 2 messages non transmis"});
}

TEST_F(Forwarding, TheLogKeepsFortyLinesNewestSelectedInUpperCaseHex) {
  form->SetupLog();
  bridge->OpenMidiOut();
  for (int i = 0; i < 30; ++i) serialIn({0xFA, 0xFB, 0xFC});
  EXPECT_EQ(window.LogCount(), 40);
  EXPECT_EQ(window.LogSelected(), 39);
  for (const auto& line : log()) {
    const auto dash = line.find(" - ");
    for (char c : line.substr(dash + 3)) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c)));
  }
  form->btnLogClearClick();
  EXPECT_EQ(window.LogCount(), 0);
  serialIn({0xFE});
  EXPECT_EQ(log().front(), "[Com-Rx] - FE");
}

TEST_F(Forwarding, ClosingThePortForgetsAHalfReceivedMessage) {
  bridge->OpenComPort();
  bridge->OpenMidiOut();
  serialIn({0x90, 0x3C});
  bridge->CloseComPort();
  bridge->OpenComPort();
  serialIn({0x64});
  EXPECT_TRUE(factory.midiOutView->sent.empty());
  EXPECT_EQ(log(), Lines{"[Com-Rx] - 64 (ignoré)"});
}

TEST_F(Forwarding, LateInputWhileClosingLeavesTheLampAlone) {
  bridge->OpenComPort();
  bridge->Closing = true;
  midiIn(0x90, 0x3C, 0x64);
  form->DoMidiInput(*bridge->MidiInput);
  EXPECT_FALSE(window.LampOf(velmora::core::Lamp::MidiIn).Lit());
  EXPECT_EQ(window.LogCount(), 2);
  bridge->Closing = false;
}

// "Tout arrêter": All Sound Off, All Notes Off and Reset All Controllers on the 16 channels, to
// the MIDI output at once and to the port ahead of a dump that waits; one log line for it all.
TEST_F(Forwarding, PanicSilencesBothWaysAheadOfAWaitingDumpInOneLine) {
  using velmora::core::PanicBytes;
  const Bytes panic = PanicBytes();
  ASSERT_EQ(panic.size(), 3u * 3 * 16);
  bridge->OpenMidiOut();
  bridge->OpenComPort();
  factory.portView->outFree = 0;  // the dump waits whole
  Bytes dump(200, 0x22);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  ASSERT_TRUE(bridge->SendComSysex(dump.data(), dump.size(), true));
  window.LogClear();
  bridge->Panic();

  std::vector<SentEvent> expected;
  for (std::size_t at = 0; at < panic.size(); at += 3)
    expected.push_back({panic[at], panic[at + 1], panic[at + 2], {}});
  EXPECT_EQ(factory.midiOutView->sent, expected);
  EXPECT_EQ(expected[0], (SentEvent{0xB0, 0x78, 0x00, {}})) << "sound off first";
  EXPECT_EQ(expected[47], (SentEvent{0xBF, 0x79, 0x00, {}}));
  EXPECT_EQ(log(), Lines{velmora::core::kPanicLine});

  factory.portView->outFree = 4096;
  ASSERT_TRUE(velmora::testing::PumpUntil([&] { return bridge->ComWaiting() == 0; }));
  Bytes line;
  for (const Bytes& write : factory.portView->written)
    line.insert(line.end(), write.begin(), write.end());
  Bytes wanted = panic;
  wanted.insert(wanted.end(), dump.begin(), dump.end());
  EXPECT_EQ(line, wanted);
  EXPECT_EQ(log().size(), 1u) << "nothing more logged";
}

// A flood into a full port with a small bound, and serial bytes while the MIDI output is
// closed: each way, what went and what was lost, until "Reset".
TEST_F(Forwarding, CountersTellEachWaysMessagesAndLossesSinceReset) {
  bridge->OpenComPort();
  factory.portView->outFree = 0;
  bridge->SetComWaitLimit(30);
  for (int i = 0; i < 3000; ++i) midiIn(0x90, static_cast<std::uint8_t>(i % 128), 0x40);
  form->DoMidiInput(*bridge->MidiInput);
  factory.midiInView->onOverflow(7);
  serialIn({0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00});
  bridge->OpenMidiOut();
  serialIn({0xC0, 0x05});
  EXPECT_EQ(bridge->Counts(), (velmora::core::TrafficCounts{10, 2990 + 7, 1, 2}));
  EXPECT_EQ(velmora::ui::CountsText(velmora::ui::Direction::ToSerial, bridge->Counts()),
            "MIDI → RS232 : 10 messages, 2997 perdus");
  EXPECT_EQ(velmora::ui::CountsText(velmora::ui::Direction::ToMidi, bridge->Counts()),
            "RS232 → MIDI : 1 message, 2 perdus");
  form->Button1Click();
  EXPECT_EQ(bridge->Counts(), velmora::core::TrafficCounts{});
  serialIn({0xC0, 0x06});
  EXPECT_EQ(bridge->Counts(), (velmora::core::TrafficCounts{0, 0, 1, 0}));
}
