#include <gtest/gtest.h>

#include "BridgeFixture.h"
#include "core/Bridge.h"
#include "core/Delay.h"
#include "core/WindowModel.h"
#include "platform/MessagePump.h"
#include "ui/MainWindowHandlers.h"

using namespace std::chrono_literals;
using velmora::core::Bridge;
using velmora::core::Cursor;
using velmora::core::kClosedColor;
using velmora::core::kOpenColor;
using velmora::core::kSwitchingColor;
using velmora::core::Shape;
using velmora::core::WindowModel;
using velmora::test::FakeFactory;
using velmora::test::SteppingClock;
using velmora::ui::TfmMain;

using velmora::test::BridgeFixture;

TEST_F(BridgeFixture, InitializationConfiguresThePortAndLeavesEverythingClosed) {
  create();
  ASSERT_TRUE(bridge->SerialPort);
  EXPECT_EQ(factory.portView->number, 1);
  EXPECT_EQ(factory.portView->baud, 38400);
  EXPECT_FALSE(factory.portView->open);
  EXPECT_EQ(factory.packetView->port, factory.portView);
  EXPECT_FALSE(factory.packetView->enabled);
  EXPECT_FALSE(factory.packetView->autoEnable);
  EXPECT_FALSE(factory.controllerView->monitoring);
  EXPECT_FALSE(bridge->ComPortOpened);
  EXPECT_FALSE(bridge->Closing);
}

TEST_F(BridgeFixture, AbsentDevicesAreSkippedEverywhere) {
  factory.failPort = true;
  factory.failMidiIn = true;
  factory.failMidiOut = true;
  create();
  EXPECT_FALSE(bridge->SerialPort);
  EXPECT_FALSE(bridge->MidiInput);
  EXPECT_FALSE(bridge->MidiOutput);
  ASSERT_TRUE(bridge->DataPacket);  // created, but not attached to a missing port
  EXPECT_EQ(factory.packetView->port, nullptr);

  bridge->OpenComPort();
  EXPECT_FALSE(bridge->ComPortOpened);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kClosedColor);

  bridge->OpenMidiIn();
  bridge->OpenMidiOut();
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);  // gray means switching only
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);

  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  bridge->SendComBytes(note, 3);  // nothing to write to, nothing raised
  EXPECT_EQ(bridge->ComPortStatusText(false), "");
}

TEST_F(BridgeFixture, OpeningAPortShowsGrayThenGreenAndStartsMonitoring) {
  create();
  bridge->OpenComPort();
  EXPECT_TRUE(bridge->ComPortOpened);
  EXPECT_TRUE(factory.controllerView->monitoring);
  EXPECT_EQ(window.ShapeHistory(Shape::ComPort),
            (std::vector<velmora::serial::TColor>{kSwitchingColor, kOpenColor}));
  EXPECT_EQ(window.CursorHistory(), (std::vector<Cursor>{Cursor::HourGlass, Cursor::Default}));
}

TEST_F(BridgeFixture, APortThatFailsToOpenEndsRedWithTheCursorRestored) {
  factory.portView->failingPorts = {1};
  create();
  bridge->OpenComPort();
  EXPECT_FALSE(bridge->ComPortOpened);
  EXPECT_FALSE(factory.controllerView->monitoring);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kClosedColor);
  EXPECT_EQ(window.ScreenCursor(), Cursor::Default);
  EXPECT_EQ(window.CursorHistory().back(), Cursor::Default);
}

TEST_F(BridgeFixture, ClosingAlwaysEndsRedWhateverThePortReports) {
  create();
  bridge->OpenComPort();
  factory.portView->onSetOpen = [&] {
    // Nothing may reach a port while it closes.
    EXPECT_FALSE(bridge->ComPortOpened);
  };
  bridge->CloseComPort();
  EXPECT_FALSE(bridge->ComPortOpened);
  EXPECT_FALSE(factory.controllerView->monitoring);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kClosedColor);
}

TEST_F(BridgeFixture, SelectComPortTakesPortOneForZeroOrBelowAndReopens) {
  create();
  for (int number : {0, -5}) {
    factory.portView->number = 7;
    bridge->SelectComPort(number, false);
    EXPECT_EQ(factory.portView->number, 1);
  }
  // A closed port opens once; an open one closes first.
  for (const auto& [number, requests] :
       {std::pair{3, std::vector<bool>{true}}, std::pair{4, std::vector<bool>{false, true}}}) {
    factory.portView->openRequests.clear();
    bridge->SelectComPort(number, true);
    EXPECT_EQ(factory.portView->number, number);
    EXPECT_EQ(factory.portView->openRequests, requests);
    EXPECT_TRUE(bridge->ComPortOpened);
  }
}

TEST_F(BridgeFixture, MidiOpenAndCloseColourTheirShapes) {
  factory.midiInView->names = {"In A"};
  factory.midiOutView->names = {"Out A"};
  create();
  bridge->OpenMidiIn();
  EXPECT_EQ(factory.midiInView->calls, (std::vector<std::string>{"Open", "Start"}));
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kOpenColor);
  bridge->OpenMidiOut();
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kOpenColor);

  bridge->CloseMidiIn();
  EXPECT_EQ(factory.midiInView->calls.back(), "Close");
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);
  bridge->CloseMidiOut();
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);

  factory.midiInView->opens = false;
  factory.midiOutView->opens = false;
  bridge->OpenMidiIn();
  bridge->OpenMidiOut();
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);
}

TEST_F(BridgeFixture, AMidiDeviceThatRaisesEndsRedWithItsReasonLogged) {
  create();
  factory.midiInView->openRaises = true;
  bridge->OpenMidiIn();
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);
  ASSERT_EQ(window.LogCount(), 1);
  EXPECT_EQ(window.LogLine(0).rfind("[MIDI-In] - ", 0), 0u) << window.LogLine(0);
  EXPECT_NE(window.LogLine(0).find(" : open failed"), std::string::npos) << window.LogLine(0);
}

TEST_F(BridgeFixture, FinalizationReleasesInOrderAndRecoloursNothing) {
  std::vector<std::string> journal;
  factory.packetView->journal = &journal;
  factory.controllerView->journal = &journal;
  factory.midiInView->journal = &journal;
  factory.midiOutView->journal = &journal;
  create();
  bridge->OpenComPort();
  journal.clear();
  const auto shapesBefore = window.ShapeHistory(Shape::ComPort).size();
  const auto cursorsBefore = window.CursorHistory().size();
  bridge->Finalize();
  EXPECT_TRUE(bridge->Closing);
  EXPECT_EQ(journal,
            (std::vector<std::string>{"controller.release", "packet.detach", "packet.release",
                                      "midiin.release", "midiout.release"}));
  EXPECT_EQ(window.ShapeHistory(Shape::ComPort).size(), shapesBefore);
  // The port still switches with its hourglass while closing.
  EXPECT_EQ(window.CursorHistory().size(), cursorsBefore + 2);
  EXPECT_FALSE(bridge->SerialPort);
  EXPECT_FALSE(bridge->MidiInput);
}

TEST_F(BridgeFixture, AVanishedDeviceIsTreatedAsClosedAndOpensAgainWhenChosen) {
  factory.midiOutView->names = {"Out A"};
  create();
  bridge->OpenComPort();
  bridge->OpenMidiOut();
  ASSERT_TRUE(factory.portView->onLost);
  factory.portView->onLost();
  EXPECT_FALSE(bridge->ComPortOpened);
  EXPECT_FALSE(factory.portView->open);
  EXPECT_FALSE(factory.controllerView->monitoring);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kClosedColor);
  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  bridge->SendComBytes(note, 3);
  EXPECT_TRUE(factory.portView->written.empty());

  factory.midiOutView->onLost();
  EXPECT_FALSE(factory.midiOutView->isOpen);
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);

  bridge->SelectComPort(1, true);  // the user picks it again
  EXPECT_TRUE(bridge->ComPortOpened);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kOpenColor);
}

TEST(Delay, ReturnsOnlyAfterMoreThanTheTimeAcrossATickWrap) {
  // Starts 100 ms before the 32-bit tick count wraps; each look moves 30 ms.
  SteppingClock clock(std::chrono::milliseconds(0xFFFFFFFFll - 100), 30ms);
  const std::uint32_t before = clock.tickCount();
  velmora::core::Delay(200, true, clock);
  const std::uint32_t after = clock.tickCount();
  EXPECT_GT(static_cast<std::uint32_t>(after - before), 200u);
  EXPECT_LT(static_cast<std::uint32_t>(after - before), 400u);  // it did not run to a wrap
}

TEST(Delay, HandlesMessagesPostedWhileItWaits) {
  int handled = 0;
  velmora::platform::WindowRef self;
  velmora::platform::MessageWindow window([&](const velmora::platform::Message&) {
    return ++handled == 1 && self.post(velmora::platform::WM_USER);  // one more while it waits
  });
  self = window.ref();
  self.post(velmora::platform::WM_USER);
  velmora::core::Delay(20, true, SteppingClock(0ms, 10ms));  // each look moves 10 ms: 3 passes
  EXPECT_EQ(handled, 2);
  EXPECT_EQ(velmora::core::IfThen(true, 1, 2), 1);
  EXPECT_EQ(velmora::core::IfThen(false, 1, 2), 2);
}
