// Nothing on the bridge thread waits for a disk or a device: settings saved by a worker that a
// slow disk holds, a serial port whose output flow control holds while it closes.

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "core/SettingsSaver.h"
#include "core/faults/BridgeRig.h"

namespace velmora::faults {
namespace {

using namespace std::chrono_literals;

// A note-on in from the serial side, a note-off out to it; both forwarded before returning.
void PlayBothWays(BridgeRig& rig, int port = 1) {
  const std::size_t sent = rig.MidiSent(1).size();
  const std::size_t received = rig.Far(port).Count();
  ASSERT_TRUE(rig.WriteFar(port, {0x90, 0x3C, 0x64}));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() == sent + 1; }));
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], 0x403C80));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(port).Count() == received + 3; }));
}

TEST(SlowWork, SettingsAreSavedWhileForwardingAndWhatWaitsAtTheEnd) {
  BridgeRig rig(1, 1);
  rig.Start();
  const auto file = rig.Root() / "velmora" / "velmora.conf";
  std::promise<void> disk;
  const std::shared_future<void> ready = disk.get_future().share();
  int writes = 0;
  core::RememberedChoices choices;
  choices.line.emplace();
  {
    core::SettingsSaver saver(file, nullptr, [&](const auto& path, const auto& saved) {
      ready.wait();  // a disk that takes its time
      ++writes;
      core::SaveSettings(path, saved);
    });
    for (int save = 0; save < 50; ++save) {
      choices.line->baud = 1200 + save;
      saver.Save(choices);
      ASSERT_NO_FATAL_FAILURE(PlayBothWays(rig));
    }
    disk.set_value();
  }
  EXPECT_LE(writes, 2) << "the saves that waited were one";
  EXPECT_EQ(core::LoadSettings(file).choices, choices);
}

// XOFF from the far end holds the output; the port closes (the user picks another) without
// waiting for the line, and forwarding goes on through the other. Chosen again, the held port
// opens once its own close has ended, never taken for a busy one. The wait of a real tty's
// close itself is proven on the closer (SerialCloserTest): a pseudo-terminal never waits.
TEST(SlowWork, APortHeldByFlowControlClosesAsideAndOpensAgain) {
  BridgeRig rig(2, 1);
  rig.bridge->Choice.line.flow = core::FlowControl::XonXoff;
  rig.bridge->SetMessageChoice({core::MessageKinds::All()});
  rig.Start();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  ASSERT_TRUE(rig.WriteFar(1, {0x13}));  // XOFF
  Bytes dump(64 * 1024, 0x22);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], dump));
  // The port's buffer full, the rest waits in the bridge.
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComWaiting() > 32 * 1024; }));
  ASSERT_LT(rig.Far(1).Count(), dump.size() / 2) << "the output was not held";
  rig.ChooseComPort(1);  // COM2
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened; }));
  ASSERT_NO_FATAL_FAILURE(PlayBothWays(rig, 2));
  for (int again = 0; again <= 20; ++again) {  // ends on COM1
    rig.ChooseComPort(again % 2);
    ASSERT_TRUE(rig.bridge->ComPortOpened) << "COM" << again % 2 + 1 << ", turn " << again;
  }
  ASSERT_TRUE(rig.WriteFar(1, {0x11}));  // XON
  ASSERT_NO_FATAL_FAILURE(PlayBothWays(rig, 1));
  for (int i = 0; i < rig.window.LogCount(); ++i)
    EXPECT_EQ(rig.window.LogLine(i).find("occupé"), std::string::npos) << rig.window.LogLine(i);
}

}  // namespace
}  // namespace velmora::faults
