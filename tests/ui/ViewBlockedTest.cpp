// Forwarding does not wait for the window: with the window's thread handling nothing for
// seconds (a stalled display), messages cross both ways on real devices meanwhile.

#include <gtest/gtest.h>

#include <QTest>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/RealDeviceFactory.h"
#include "platform/midi/SimulatedMidiService.h"
#include "platform/serial/SerialNames.h"
#include "support/PtyPair.h"
#include "support/Wait.h"
#include "ui/BridgeSession.h"
#include "ui/qt/MainWindow.h"

namespace velmora::test {
namespace {

using namespace std::chrono_literals;

TEST(ViewBlocked, ForwardingGoesOnBothWaysWhileTheWindowsThreadIsBlocked) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.valid());
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "dev");
  std::filesystem::create_symlink(pty.slavePath(), dir.path() / "dev/ttyV0");
  auto midi = std::make_shared<platform::midi::SimulatedMidiService>();
  const auto in = midi->AddInput("In 1");
  const auto out = midi->AddOutput("Out 1");

  std::promise<ui::ViewLink*> offered;
  std::thread bridgeThread([&] {
    core::RealDeviceFactory factory(
        midi, platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
    core::Bridge bridge(factory);
    core::SettingsStore settings({});
    ui::RunBridgeSession(bridge, settings,
                         [&offered](ui::ViewLink& link) { offered.set_value(&link); });
  });
  ui::ViewLink& link = *offered.get_future().get();
  {
    ui::qt::MainWindow window(link);
    window.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          const auto& shapes = window.Shown().shapes;
          return std::all_of(shapes.begin(), shapes.end(),
                             [](auto color) { return color == core::kOpenColor; });
        },
        20000));

    // From here the window's thread handles no event until the traffic is through.
    constexpr int kMessages = 50;
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < kMessages; ++i) {
      const auto note = static_cast<std::uint8_t>(i);
      pty.write({0x90, note, 0x40});
      midi->Play(in, {0x80, note, 0x00});
      expected.insert(expected.end(), {0x80, note, 0x00});
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(midi->WaitSent(out, kMessages, 4s)) << midi->SentTo(out).size() << " to MIDI";
    EXPECT_EQ(pty.read(expected.size(), 4s), expected);
    const auto sent = midi->SentTo(out);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].packed, 0x400090u | static_cast<std::uint32_t>(i) << 8) << i;
    }
    window.close();
  }
  link.ViewGone();
  bridgeThread.join();
}

// A session that fails after it offered its link keeps the link until the view has gone.
TEST(ViewBlocked, AnExceptionAfterTheOfferLeavesTheLinkToTheViewUntilItGoes) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() / "dev");
  std::promise<ui::ViewLink*> offered;
  std::atomic<bool> ended{false};
  std::string raised;
  std::thread bridgeThread([&] {
    core::RealDeviceFactory factory(
        std::make_shared<platform::midi::SimulatedMidiService>(),
        platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
    core::Bridge bridge(factory);
    core::SettingsStore settings({});
    try {
      ui::RunBridgeSession(bridge, settings, [&offered](ui::ViewLink& link) {
        offered.set_value(&link);
        throw std::runtime_error("after the offer");
      });
    } catch (const std::exception& error) {
      raised = error.what();
    }
    ended = true;
  });
  ui::ViewLink& link = *offered.get_future().get();
  EXPECT_TRUE(testing::WaitUntil([&] { return link.Snapshot().closed; }));
  EXPECT_FALSE(ended) << "the session ended under the view";
  EXPECT_TRUE(link.Snapshot().closed);  // still readable
  link.ViewGone();
  bridgeThread.join();
  EXPECT_EQ(raised, "after the offer");
}

}  // namespace
}  // namespace velmora::test
