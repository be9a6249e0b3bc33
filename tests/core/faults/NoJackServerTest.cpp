// The real bridge on our JACK back end where no server runs ($JACK_DEFAULT_SERVER names one
// that does not exist), and on a serial name space without a device.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/RealDeviceFactory.h"
#include "core/WindowModel.h"
#include "platform/MessagePump.h"
#include "platform/midi/JackMidiService.h"
#include "support/PtyPair.h"
#include "tests/core/SteppingClock.h"
#include "ui/MainWindowHandlers.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using core::Shape;

TEST(NoJackServer, StartUpLogsWhyEndsRedWithoutGrayAndRaisesNothing) {
  testing::TempDir dir;
  fs::create_directories(dir.path() / "dev");
  fs::create_directories(dir.path() / "sys/class/tty");
  std::size_t reported = 0;
  platform::MessagePump::current().setErrorReport([&](std::exception_ptr) { ++reported; });
  {
    core::RealDeviceFactory factory(
        std::make_shared<platform::midi::JackMidiService>(),
        platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
    test::SteppingClock clock;
    core::WindowModel window;
    core::Bridge bridge(factory, clock);
    ui::TfmMain form(bridge, window);
    EXPECT_NO_THROW(form.FormCreate());

    std::vector<std::string> log;
    for (int i = 0; i < window.LogCount(); ++i) log.push_back(window.LogLine(i));
    EXPECT_EQ(
        log, (std::vector<std::string>{"[Midi-Out] - aucun port MIDI", "[RS232] - aucun port série",
                                       "[MIDI-In] - aucun port MIDI"}));
    for (const Shape shape : {Shape::ComPort, Shape::MidiIn, Shape::MidiOut}) {
      EXPECT_EQ(window.ShapeColor(shape), core::kClosedColor);
    }
    form.FormClose();
    bridge.Finalize();
  }
  platform::MessagePump::current().setErrorReport(nullptr);
  EXPECT_EQ(reported, 0u);
}

}  // namespace
}  // namespace velmora
