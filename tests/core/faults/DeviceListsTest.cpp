// The live device lists on the real bridge: devices that come and go while the program runs,
// a choice kept by identity and never opened by anything but its own return. Serial devices are
// pseudo-terminals linked into a device folder of the test, watched through inotify; MIDI ports
// are the simulated service's.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/faults/BridgeRig.h"
#include "support/OpenCounter.h"

namespace velmora::faults {
namespace {

namespace fs = std::filesystem;
using core::DeviceList;
using core::kClosedColor;
using core::kOpenColor;
using core::Shape;

std::vector<std::string> Items(const core::WindowModel& window, DeviceList list) {
  std::vector<std::string> items;
  for (int i = 0; i < window.ListCount(list); ++i) items.push_back(window.ListItem(list, i));
  return items;
}

int LogLinesStarting(const core::WindowModel& window, const std::string& start) {
  int count = 0;
  for (int i = 0; i < window.LogCount(); ++i) count += window.LogLine(i).rfind(start, 0) == 0;
  return count;
}

std::string Entry(const BridgeRig& rig, int number, int port) {
  return "COM" + std::to_string(number) + " (" +
         (rig.Dev() / ("ttyV" + std::to_string(port - 1))).string() + ")";
}

TEST(DeviceLists, SerialDevicesAreListedAsTheyComeAndGoTheChoiceStaysAndNothingIsOpened) {
  BridgeRig rig(2, 1);
  rig.Start();
  ASSERT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
  rig.window.LogClear();

  const int added = rig.AddPort();
  testing::OpenCounter opens(rig.Pty(added).slavePath());
  ASSERT_TRUE(opens.valid());
  const std::vector<std::string> three{Entry(rig, 1, 1), Entry(rig, 2, 2), Entry(rig, 3, 3)};
  ASSERT_TRUE(rig.PumpUntil([&] { return Items(rig.window, DeviceList::ComPort) == three; }));
  EXPECT_EQ(rig.window.ListSelected(DeviceList::ComPort), 0);

  rig.Vanish(2);  // not the choice: it leaves the list
  const std::vector<std::string> two{Entry(rig, 1, 1), Entry(rig, 2, 3)};
  ASSERT_TRUE(rig.PumpUntil([&] { return Items(rig.window, DeviceList::ComPort) == two; }));
  EXPECT_EQ(rig.window.ListSelected(DeviceList::ComPort), 0);
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
  EXPECT_EQ(opens.Take(), 0u) << "listing opened a device";
  EXPECT_EQ(rig.window.LogCount(), 0) << "nothing but the lists changed";

  rig.Vanish(1);  // the choice: red, listed and chosen, marked absent
  const std::vector<std::string> absent{Entry(rig, 1, 3), Entry(rig, 1, 1) + " — absent"};
  ASSERT_TRUE(rig.PumpUntil([&] { return Items(rig.window, DeviceList::ComPort) == absent; }));
  EXPECT_EQ(rig.window.ListSelected(DeviceList::ComPort), 1);
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kClosedColor);
  EXPECT_EQ(
      LogLinesStarting(rig.window, "[RS232] - " + (rig.Dev() / "ttyV0").string() + " : débranché"),
      1);
  EXPECT_EQ(opens.Take(), 0u);

  // Another choice drops the absent entry.
  rig.ChooseComPort(0);
  EXPECT_EQ(Items(rig.window, DeviceList::ComPort), std::vector<std::string>{Entry(rig, 1, 3)});
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
}

TEST(DeviceLists, ADifferentDeviceUnderTheChosenComNumberIsListedButNeverOpened) {
  BridgeRig rig(2, 1);
  rig.Start();
  rig.ChooseComPort(1);  // COM2, ttyV1
  ASSERT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
  rig.Vanish(2);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kClosedColor; }));

  const int other = rig.AddPort();  // ttyV2: COM2 now
  testing::OpenCounter opens(rig.Pty(other).slavePath());
  const std::vector<std::string> listed{Entry(rig, 1, 1), Entry(rig, 2, 3),
                                        Entry(rig, 2, 2) + " — absent"};
  ASSERT_TRUE(rig.PumpUntil([&] { return Items(rig.window, DeviceList::ComPort) == listed; }));
  rig.bridge->RefreshComPortList();  // as any later change in the device folder would
  EXPECT_EQ(rig.window.ListSelected(DeviceList::ComPort), 2);
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kClosedColor);
  EXPECT_EQ(opens.Take(), 0u) << "the other device was opened";
}

// The status bar follows the open device when the lists renumber it.
TEST(DeviceLists, TheStatusBarFollowsTheOpenDeviceWhenItIsRenumbered) {
  BridgeRig rig(2, 1);
  rig.Start();
  rig.ChooseComPort(1);  // COM2, ttyV1
  ASSERT_EQ(rig.window.StatusText(1), "2,38400,8,1,pNone");
  rig.Vanish(1);  // ttyV1 is COM1 now, still open
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.StatusText(1) == "1,38400,8,1,pNone"; }));
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
}

TEST(DeviceLists, AnAdapterIdentifiedByItsByIdLinkIsOpenedAgainUnderAnotherDevicePath) {
  BridgeRig rig(1, 1);
  const fs::path byId = rig.Dev() / "serial/by-id/usb-Velmora_Test_A1-if00-port0";
  fs::create_directories(byId.parent_path());
  fs::create_symlink("../../ttyV0", byId);
  rig.Start();
  ASSERT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
  EXPECT_EQ(rig.bridge->ComIdentity(), byId.string());

  rig.Vanish(1);
  fs::remove(byId);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kClosedColor; }));
  const int back = rig.AddPort();  // the same adapter, now ttyV1
  fs::create_symlink("../../ttyV" + std::to_string(back - 1), byId);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.window.ShapeColor(Shape::ComPort) == kOpenColor; }));
  EXPECT_EQ(rig.window.ListSelectedText(DeviceList::ComPort), Entry(rig, 1, back));
  // Traffic flows to it again.
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], 0x403C90));
  EXPECT_TRUE(rig.PumpUntil([&] { return rig.Far(back).Count() >= 3; }));
}

TEST(DeviceLists, MidiPortsAreListedAsTheyComeAndGoAndTheChoicesStay) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_EQ(rig.midi->OpenHandles(), 2);
  const auto in2 = rig.midi->AddInput("In 2");
  const auto out2 = rig.midi->AddOutput("Out 2");
  ASSERT_TRUE(rig.PumpUntil([&] {
    return Items(rig.window, DeviceList::MidiIn) == std::vector<std::string>{"In 1", "In 2"} &&
           Items(rig.window, DeviceList::MidiOut) == std::vector<std::string>{"Out 1", "Out 2"};
  }));
  EXPECT_EQ(rig.window.ListSelectedText(DeviceList::MidiIn), "In 1");
  EXPECT_EQ(rig.window.ListSelectedText(DeviceList::MidiOut), "Out 1");
  rig.midi->Remove(in2);
  rig.midi->Remove(out2);
  ASSERT_TRUE(rig.PumpUntil([&] {
    return Items(rig.window, DeviceList::MidiIn) == std::vector<std::string>{"In 1"} &&
           Items(rig.window, DeviceList::MidiOut) == std::vector<std::string>{"Out 1"};
  }));
  EXPECT_EQ(rig.midi->OpenHandles(), 2) << "a list change opened or closed a port";
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiIn), kOpenColor);
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiOut), kOpenColor);
}

}  // namespace
}  // namespace velmora::faults
