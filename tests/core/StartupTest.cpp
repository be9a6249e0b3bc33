#include <gtest/gtest.h>

#include "BridgeFixture.h"
#include "core/Bridge.h"
#include "core/Settings.h"
#include "core/WindowModel.h"
#include "ui/MainWindowHandlers.h"

using velmora::core::Bridge;
using velmora::core::DeviceList;
using velmora::core::kClosedColor;
using velmora::core::kOpenColor;
using velmora::core::Shape;
using velmora::core::WindowModel;
using velmora::test::FakeFactory;
using velmora::test::SteppingClock;
using velmora::ui::TfmMain;

namespace {

struct Startup : velmora::test::BridgeFixture {
  std::vector<std::string> items(DeviceList list) const {
    std::vector<std::string> out;
    for (int i = 0; i < window.ListCount(list); ++i) out.push_back(window.ListItem(list, i));
    return out;
  }
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(Startup, PortsAreListedInOrderFromTheNameSpaceAndNoneIsOpenedToListIt) {
  factory.probeView->present = {1, 3, 12};
  create();
  EXPECT_EQ(bridge->ListComPorts(), (Names{"COM1", "COM3", "COM12"}));
  EXPECT_TRUE(bridge->ComPortExists(12));
  EXPECT_FALSE(bridge->ComPortExists(2));
  EXPECT_FALSE(bridge->ComPortExists(0));
  EXPECT_EQ(bridge->ComDeviceName(12), "\\\\.\\COM12");
  EXPECT_TRUE(factory.portView->openRequests.empty());
}

TEST_F(Startup, FormCreateFillsTheListsOpensEverythingAndShowsTheStatus) {
  factory.probeView->present = {1, 3};
  factory.midiInView->names = {"In A", "In B"};
  factory.midiOutView->names = {"Out A", "Out B"};
  create();
  form->FormCreate();
  EXPECT_EQ(items(DeviceList::ComPort), (Names{"COM1", "COM3"}));
  EXPECT_EQ(items(DeviceList::MidiIn), (Names{"In A", "In B"}));
  EXPECT_EQ(items(DeviceList::MidiOut), (Names{"Out A", "Out B"}));
  EXPECT_EQ(window.ListSelected(DeviceList::MidiOut), 0);
  EXPECT_TRUE(bridge->ComPortOpened);
  EXPECT_EQ(window.ShapeColor(Shape::ComPort), kOpenColor);
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kOpenColor);
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kOpenColor);
  EXPECT_EQ(window.StatusText(1), "1,38400,8,1,pNone");
  EXPECT_EQ(factory.packetView->packetSize, 1);
  EXPECT_EQ(factory.packetView->endCond, velmora::serial::ecPacketSize);
  EXPECT_EQ(factory.packetView->startCond, velmora::serial::TPacketStartCond::scAnyData);
  EXPECT_EQ(factory.packetView->timeOut, 0);
  EXPECT_TRUE(factory.packetView->enabled && factory.packetView->autoEnable);
  EXPECT_TRUE(factory.controllerView->monitoring);
  EXPECT_EQ(factory.controllerView->tx, &window.LampOf(velmora::core::Lamp::CPTx));
  EXPECT_EQ(factory.controllerView->rx, &window.LampOf(velmora::core::Lamp::CPRx));
  EXPECT_TRUE(factory.midiInView->onInput);
  EXPECT_TRUE(factory.midiOutView->onOutput);

  // The user picks the second port.
  window.ListSetSelected(DeviceList::ComPort, 1);
  form->cbComPortChange();
  EXPECT_EQ(factory.portView->number, 3);
  EXPECT_EQ(window.StatusText(1), "3,38400,8,1,pNone");

  form->FormClose();
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);
}

TEST_F(Startup, AChoiceGivenPicksItsDevicesAndLineAndAnAbsentOneStaysChosenAlone) {
  factory.probeView->present = {1, 3};
  factory.midiInView->names = {"In A", "In B"};
  factory.midiOutView->names = {"Out A", "Out B"};
  create();
  bridge->Choice = {3, "", {31250, 7, velmora::serial::TParity::pEven, 2}, "In B", "Out B"};
  int changes = 0;
  form->ChoiceChanged = [&changes](velmora::core::Choosing) { ++changes; };
  form->FormCreate();
  EXPECT_EQ(changes, 0) << "the start-up's own choices are no change";
  EXPECT_EQ(factory.portView->number, 3);
  EXPECT_EQ(window.StatusText(1), "3,31250,7,2,pEven");
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiIn), "In B");
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiOut), "Out B");
  EXPECT_EQ(factory.midiOutView->ProductName(), "Out B");
  EXPECT_EQ(
      velmora::core::CurrentChoices(window, *bridge, std::nullopt),
      (velmora::core::RememberedChoices{"/dev/fake3", bridge->Choice.line, "In B", "Out B", {}}));
  window.ListSetSelected(DeviceList::MidiIn, 0);
  form->cbMIDIInChange();
  EXPECT_EQ(changes, 1);
  // A new line goes to the open port as it is, without closing it.
  factory.portView->openRequests.clear();
  form->ActPortSettingsApply({115200, 6, velmora::serial::TParity::pOdd, 1});
  EXPECT_EQ(factory.portView->openRequests, std::vector<bool>{});
  EXPECT_EQ(window.StatusText(1), "3,115200,6,1,pOdd");
  EXPECT_EQ(changes, 2);

  // Absent choices stay chosen, shown absent: no other entry stands in for them.
  bridge->Choice = {0, "/dev/fake7", {}, "gone", "gone"};
  bridge->StartDevices();
  EXPECT_EQ(window.ListSelectedText(DeviceList::ComPort), "/dev/fake7 — absent");
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiIn), "gone — absent");
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiOut), "gone — absent");
  // Nothing chosen: the first entry, but never a gateway's own port.
  factory.midiInView->names = {"velmora:midi_out", "velmora-b:midi_out_2", "velmora-peer:out"};
  bridge->Choice = {};
  bridge->StartDevices();
  EXPECT_EQ(window.ListSelectedText(DeviceList::ComPort), "COM1");
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiIn), "velmora-peer:out");
}

TEST_F(Startup, NoDevicesLeavesPlaceholdersAndLogsWhyWithoutRaising) {
  factory.midiInView->names = {};
  factory.midiOutView->names = {};
  create();
  EXPECT_NO_THROW(form->FormCreate());
  std::vector<std::string> log;
  for (int i = 0; i < window.LogCount(); ++i) log.push_back(window.LogLine(i));
  // The destination opens first.
  EXPECT_EQ(log, (std::vector<std::string>{"[Midi-Out] - aucun port MIDI",
                                           "[MIDI-In] - aucun port MIDI"}));
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), kClosedColor);
  EXPECT_EQ(items(DeviceList::ComPort), Names{});
  EXPECT_EQ(items(DeviceList::MidiIn), Names{"Port non spécifié"});
  EXPECT_EQ(window.ListSelected(DeviceList::MidiIn), -1);
  EXPECT_EQ(factory.portView->number, 1);
  EXPECT_EQ(window.StatusText(1), "1,38400,8,1,pNone");
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kClosedColor);
}

TEST_F(Startup, AMidiDeviceThatRaisesWhileListedKeepsThePlaceholderAndHooksNothing) {
  factory.midiInView->names = {"In A"};
  factory.midiInView->listRaises = true;
  create();
  EXPECT_THROW(bridge->FillMidiInList(), std::runtime_error);
  EXPECT_EQ(items(DeviceList::MidiIn), Names{"Port non spécifié"});
  EXPECT_FALSE(factory.midiInView->onInput);
  EXPECT_EQ(window.ScreenCursor(), velmora::core::Cursor::Default);
}

TEST_F(Startup, StatusTextShortAndDetailed) {
  create();
  auto& port = *factory.portView;
  port.number = 2;
  port.baud = 9600;
  port.dataBits = 7;
  port.stopBits = 2;
  port.parity = velmora::serial::TParity::pEven;
  EXPECT_EQ(bridge->ComPortStatusText(false), "2,9600,7,2,pEven");
  port.hwFlow = velmora::serial::hwfUseRTS | velmora::serial::hwfRequireCTS;
  EXPECT_EQ(bridge->ComPortStatusText(true), "2,9600,7,2,pEven,[hwfUseRTS,hwfRequireCTS],swfNone");
  port.hwFlow = 0;
  EXPECT_EQ(bridge->ComPortStatusText(true), "2,9600,7,2,pEven,[],swfNone");
}

TEST(PortNumberOfEntry, ReadsTheNumberAfterCom) {
  EXPECT_EQ(velmora::ui::PortNumberOfEntry("COM3"), 3);
  EXPECT_EQ(velmora::ui::PortNumberOfEntry("COM12 (/dev/ttyUSB0)"), 12);
  EXPECT_EQ(velmora::ui::PortNumberOfEntry(""), 0);
  EXPECT_EQ(velmora::ui::PortNumberOfEntry("Port non spécifié"), 0);
}
