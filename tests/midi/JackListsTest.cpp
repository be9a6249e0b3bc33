// The bridge's MIDI lists on a JACK server of the fixture's: a peer's ports come and go while
// the program runs; the lists follow and the chosen ports open again by name when they are back.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/WindowModel.h"
#include "core/RealDeviceFactory.h"
#include "platform/midi/JackMidiService.h"
#include "support/PtyPair.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"
#include "tools/JackPeer.h"
#include "ui/MainWindowHandlers.h"

namespace {

using velmora::core::DeviceList;
using velmora::core::kClosedColor;
using velmora::core::kOpenColor;
using velmora::core::Shape;
using velmora::testing::PumpUntil;
using velmora::testing::RetryOnXrun;
using velmora::tools::JackPeer;
using namespace std::chrono_literals;

bool Lists(const velmora::core::WindowModel& window, DeviceList list, const std::string& name) {
  for (int i = 0; i < window.ListCount(list); ++i) {
    if (window.ListItem(list, i) == name) return true;
  }
  return false;
}

TEST(JackLists, APeersPortsComeAndGoAndTheChosenOnesOpenAgainByName) {
  velmora::testing::TempDir noSerial;  // no serial device at all
  std::filesystem::create_directories(noSerial.path() / "dev");
  auto service = std::make_shared<velmora::platform::midi::JackMidiService>();
  ASSERT_TRUE(service->Connected());
  // One client each way keeps JACK's graph a line.
  auto source = std::make_unique<JackPeer>("vlists-src", JackPeer::Ports::OutOnly);
  auto sink = std::make_unique<JackPeer>("vlists-sink", JackPeer::Ports::InOnly);
  const std::string in = source->outPortName(), out = sink->inPortName();

  velmora::core::RealDeviceFactory factory(
      service, velmora::platform::SerialNameSpace({noSerial.path() / "dev", noSerial.path()}));
  velmora::core::Bridge bridge(factory);
  velmora::core::WindowModel window;
  velmora::ui::TfmMain form(bridge, window);
  bridge.Choice.midiIn = in;
  bridge.Choice.midiOut = out;
  form.FormCreate();
  ASSERT_EQ(window.ListSelectedText(DeviceList::MidiIn), in);
  ASSERT_EQ(window.ShapeColor(Shape::MidiIn), kOpenColor);
  ASSERT_EQ(window.ShapeColor(Shape::MidiOut), kOpenColor);

  // Another peer comes and goes: listed, then not; the choices stay open.
  auto other = std::make_unique<JackPeer>("vlists-other", JackPeer::Ports::OutOnly);
  const std::string otherName = other->outPortName();
  EXPECT_TRUE(PumpUntil([&] { return Lists(window, DeviceList::MidiIn, otherName); }));
  other.reset();
  EXPECT_TRUE(PumpUntil([&] { return !Lists(window, DeviceList::MidiIn, otherName); }));
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiIn), in);
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), kOpenColor);

  // The chosen peers go: red, listed as absent; they come back: green by themselves.
  source->leave();
  sink->leave();
  EXPECT_TRUE(PumpUntil([&] {
    return window.ShapeColor(Shape::MidiIn) == kClosedColor &&
           window.ShapeColor(Shape::MidiOut) == kClosedColor &&
           window.ListSelectedText(DeviceList::MidiIn) == in + " — absent" &&
           window.ListSelectedText(DeviceList::MidiOut) == out + " — absent";
  }));
  source = std::make_unique<JackPeer>("vlists-src", JackPeer::Ports::OutOnly);
  sink = std::make_unique<JackPeer>("vlists-sink", JackPeer::Ports::InOnly);
  ASSERT_EQ(source->outPortName(), in);
  EXPECT_TRUE(PumpUntil([&] {
    return window.ShapeColor(Shape::MidiIn) == kOpenColor &&
           window.ShapeColor(Shape::MidiOut) == kOpenColor;
  }));
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiOut), out);
  // Messages flow again from the peer that came back.
  const auto logged = [&] {
    for (int i = 0; i < window.LogCount(); ++i) {
      if (window.LogLine(i).rfind("[MIDI-In] - 90 3C 40", 0) == 0) return true;
    }
    return false;
  };
  RetryOnXrun([&] { return service->Xruns(); },
              [&] {
                return source->send({0x90, 0x3C, 0x40}) && PumpUntil(logged, 3s);
              });
  form.FormClose();
  bridge.Finalize();
}

}  // namespace
