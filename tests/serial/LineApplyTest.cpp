// The line settings dialog's OK on an open port, through the window's handler: the port's
// setters reach the device at once, without closing it; a line the device refuses leaves the
// one in force and says so in the log. A pseudo-terminal takes any rate (a refused rate is the
// scripted device's) but runs 8 bits without parity only.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/Bridge.h"
#include "core/SerialDeviceAdapters.h"
#include "core/WindowModel.h"
#include "platform/serial/SerialError.h"
#include "serial/ComPort.h"
#include "support/PtyPair.h"
#include "support/ScriptedDevice.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
using serial::TParity;

// The serial port over the driver the test gives; every other device stays absent.
class PortOnlyFactory final : public DeviceFactory {
 public:
  explicit PortOnlyFactory(serial::TDispatcherFactory dispatchers)
      : dispatchers_(std::move(dispatchers)) {}
  std::unique_ptr<ComPortDevice> CreateComPort() override {
    auto port = std::make_unique<SerialComPortDevice>();
    port->Port().DispatcherFactory = dispatchers_;
    return port;
  }
  std::unique_ptr<DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<LightControllerDevice> CreateSLController() override { throw absent(); }
  std::unique_ptr<MidiInputDevice> CreateMidiInput() override { throw absent(); }
  std::unique_ptr<MidiOutputDevice> CreateMidiOutput() override { throw absent(); }
  std::unique_ptr<PortProbe> CreatePortProbe() override { throw absent(); }

 private:
  static std::runtime_error absent() { return std::runtime_error("absent"); }
  serial::TDispatcherFactory dispatchers_;
};

TEST(LineApply, TheOpenPortTakesTheChosenLineAtOnceOrKeepsTheOneInForce) {
  const LineSettings kBefore;  // 38400 8N1, as the port opened
  const struct {
    const char* name;
    bool scripted;
    LineSettings line;
    bool taken;
  } cases[] = {
      {"31250 on a pty", false, {31250}, true},
      {"115200, 2 stop bits, RTS/CTS on a pty",
       false,
       {115200, 8, TParity::pNone, 2, FlowControl::RtsCts},
       true},
      {"XON/XOFF on a pty", false, {57600, 8, TParity::pNone, 1, FlowControl::XonXoff}, true},
      {"7E1 on a pty, which runs 8 bits without parity only",
       false,
       {31250, 7, TParity::pEven, 1},
       false},
      {"250000 refused by the scripted device", true, {250000}, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    testing::PtyPair pty;
    testing::TempDir dir;
    ASSERT_TRUE(pty.valid());
    fs::create_directories(dir.path() / "dev");
    fs::create_symlink(pty.slavePath(), dir.path() / "dev/ttyV0");
    const auto scripted = std::make_shared<testing::ScriptedLine>();
    PortOnlyFactory factory(test.scripted
                                ? testing::ScriptedFactory(scripted)
                                : serial::PlatformDispatcherFactory(platform::SerialNameSpace(
                                      {dir.path() / "dev", dir.path() / "sys"})));
    WindowModel window;
    Bridge bridge(factory);
    ui::TfmMain form(bridge, window);
    bridge.SelectComPort(1, false);
    bridge.OpenComPort();
    ASSERT_TRUE(bridge.ComPortOpened);
    const auto& port = dynamic_cast<SerialComPortDevice&>(*bridge.SerialPort).Port();
    const auto* dispatcher = port.CurrentDispatcher();
    if (test.scripted) scripted->FailSetComState(-platform::kErrorInvalidParameter);

    form.ActPortSettingsApply(test.line);

    EXPECT_EQ(port.CurrentDispatcher(), dispatcher) << "the port was closed and opened again";
    const LineSettings& inForce = test.taken ? test.line : kBefore;
    EXPECT_EQ(bridge.PortLineSettings(), inForce);
    EXPECT_EQ(window.StatusText(1),
              "1," + std::to_string(inForce.baud) + "," + std::to_string(inForce.dataBits) + "," +
                  std::to_string(inForce.stopBits) + "," + ParityName(inForce.parity));
    if (test.scripted) {
      EXPECT_EQ(scripted->DeviceSettings().BaudRate, static_cast<std::uint32_t>(inForce.baud));
    } else {
      const auto device = pty.termios();  // TCGETS2: what the kernel runs the slave at
      EXPECT_EQ(device.ospeed, static_cast<unsigned>(inForce.baud));
      EXPECT_EQ(device.ispeed, static_cast<unsigned>(inForce.baud));
      EXPECT_EQ(device.dataBits, inForce.dataBits);
      EXPECT_EQ(device.twoStopBits, inForce.stopBits == 2);
      EXPECT_EQ(device.parity, inForce.parity != TParity::pNone);
      EXPECT_EQ(device.rtsCts, inForce.flow == FlowControl::RtsCts);
      EXPECT_EQ(device.xonXoff, inForce.flow == FlowControl::XonXoff);
    }
    if (test.line.flow == FlowControl::XonXoff) {
      // MIDI data bytes 11 and 13 would be taken for flow control: the user is told.
      ASSERT_EQ(window.LogCount(), 1);
      EXPECT_NE(window.LogLine(0).find("XON/XOFF"), std::string::npos) << window.LogLine(0);
    } else if (test.taken) {
      EXPECT_EQ(window.LogCount(), 0);
    } else {
      ASSERT_EQ(window.LogCount(), 1);
      EXPECT_EQ(window.LogLine(0), "[RS232] - " + std::to_string(test.line.baud) + "," +
                                       std::to_string(test.line.dataBits) + ",1," +
                                       ParityName(test.line.parity) +
                                       " refusé par le port, reste 38400,8,1,pNone");
    }
  }
}

}  // namespace
}  // namespace velmora::core
