// A JACK server that starts after the MIDI service: a server of this test's own, started and
// stopped by the fixture's script under a name of this build tree, with velmora-peer's ports.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/RealDeviceFactory.h"
#include "core/WindowModel.h"
#include "platform/midi/JackFollowingMidiService.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/FarProcess.h"
#include "support/PtyPair.h"
#include "support/Wait.h"
#include "ui/MainWindowHandlers.h"

namespace {

namespace pm = velmora::platform::midi;
using velmora::core::DeviceList;
using velmora::testing::FarProcess;
using velmora::testing::PumpUntil;
using velmora::testing::WaitUntil;
using namespace std::chrono_literals;

const std::string kPeerOut = "velmora-peer:out";
const std::string kPeerIn = "velmora-peer:in";

// jack-server.sh or pipewire-server.sh, as the test's registration chooses.
bool Server(const char* action) {
  return std::system((std::string(std::getenv("VELMORA_SERVER_SCRIPT")) + " " + action).c_str()) ==
         0;
}

std::vector<std::string> Names(pm::MidiService& service, bool input) {
  std::vector<std::string> names;
  const std::uint32_t count = input ? service.midiInGetNumDevs() : service.midiOutGetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    pm::MIDIINCAPSA in{};
    pm::MIDIOUTCAPSA out{};
    if (input && service.midiInGetDevCapsA(id, &in, sizeof in) == 0) names.emplace_back(in.szPname);
    if (!input && service.midiOutGetDevCapsA(id, &out, sizeof out) == 0)
      names.emplace_back(out.szPname);
  }
  return names;
}

void Ignore(void*, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {}

// The other service stands for ALSA's sequencer, which this machine may not have.
TEST(JackLateServer, TheListsAreTheOtherServicesUntilAServerRunsThenJacksUntilItStops) {
  ASSERT_TRUE(Server("stop"));  // one left by an interrupted run
  auto other = std::make_shared<pm::SimulatedMidiService>();
  other->AddInput("alsa in");
  const auto alsaOut = other->AddOutput("alsa out");
  pm::JackFollowingMidiService service(std::make_shared<pm::JackMidiService>(), other);
  std::atomic<int> changes{0};
  service.SetPortsChangedCallback([&] { ++changes; });
  EXPECT_EQ(Names(service, true), std::vector<std::string>{"alsa in"});
  EXPECT_EQ(Names(service, false), std::vector<std::string>{"alsa out"});
  pm::HMIDIOUT kept = nullptr;
  ASSERT_EQ(service.midiOutOpen(&kept, 0, &Ignore, 0, pm::CALLBACK_FUNCTION), 0u);

  ASSERT_TRUE(Server("start"));
  {
    FarProcess far(VELMORA_PEER, {"jack-listen"}, true);
    ASSERT_EQ(far.line().rfind("listening on ", 0), 0u) << far.line();
    EXPECT_TRUE(WaitUntil([&] {
      return changes.load() > 0 && Names(service, true) == std::vector<std::string>{kPeerOut} &&
             Names(service, false) == std::vector<std::string>{kPeerIn};
    }));
    pm::HMIDIIN in = nullptr;
    EXPECT_EQ(service.midiInOpen(&in, 0, &Ignore, 0, pm::CALLBACK_FUNCTION), 0u);
    EXPECT_EQ(service.midiInStart(in), 0u);
    // The device opened before stays with its service and goes on working.
    EXPECT_EQ(service.midiOutShortMsg(kept, 0x403C90), 0u);
    EXPECT_TRUE(other->WaitSent(alsaOut, 1, 20s));
    EXPECT_EQ(service.midiInStop(in), 0u);
    EXPECT_EQ(service.midiInClose(in), 0u);
  }
  const int before = changes.load();
  ASSERT_TRUE(Server("stop"));
  EXPECT_TRUE(WaitUntil([&] {
    return changes.load() > before && Names(service, true) == std::vector<std::string>{"alsa in"};
  }));
  EXPECT_EQ(service.midiOutClose(kept), 0u);
  EXPECT_EQ(service.midiOutClose(kept), pm::MMSYSERR_INVALHANDLE);
}

// The bridge on the service the program makes when no server runs, started five seconds before
// the server, on a machine with no other MIDI port at all (no MIDI device can be made at start).
// Its remembered choices open by themselves once the server and the peer are there.
TEST(JackLateServer, TheBridgesListsFillAndItsChoicesOpenWhenTheServerStartsAfterIt) {
  ASSERT_TRUE(Server("stop"));
  auto other = std::make_shared<pm::SimulatedMidiService>();
  velmora::testing::TempDir noSerial;
  std::filesystem::create_directories(noSerial.path() / "dev");
  velmora::core::RealDeviceFactory factory(
      std::make_shared<pm::JackFollowingMidiService>(std::make_shared<pm::JackMidiService>(),
                                                     other),
      velmora::platform::SerialNameSpace({noSerial.path() / "dev", noSerial.path()}));
  velmora::core::Bridge bridge(factory);
  velmora::core::WindowModel window;
  velmora::ui::TfmMain form(bridge, window);
  bridge.Choice.midiIn = kPeerOut;
  bridge.Choice.midiOut = kPeerIn;
  form.FormCreate();
  velmora::testing::PumpFor(5s);

  ASSERT_TRUE(Server("start"));
  {
    FarProcess far(VELMORA_PEER, {"jack-listen"}, true);
    ASSERT_EQ(far.line().rfind("listening on ", 0), 0u) << far.line();
    EXPECT_TRUE(PumpUntil([&] {
      return window.ListSelectedText(DeviceList::MidiIn) == kPeerOut &&
             window.ListSelectedText(DeviceList::MidiOut) == kPeerIn &&
             window.ShapeColor(velmora::core::Shape::MidiIn) == velmora::core::kOpenColor &&
             window.ShapeColor(velmora::core::Shape::MidiOut) == velmora::core::kOpenColor;
    }));
    form.FormClose();
  }
  bridge.Finalize();
  EXPECT_TRUE(Server("stop"));
}

}  // namespace
