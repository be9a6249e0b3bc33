#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "core/Bridge.h"
#include "core/SerialDeviceAdapters.h"
#include "platform/serial/PosixSerialDevice.h"
#include "support/OpenCounter.h"
#include "support/PtyPair.h"

using velmora::core::SerialPortProbe;
using velmora::platform::SerialNameSpace;
using velmora::testing::PtyPair;
using velmora::testing::TempDir;
namespace core = velmora::core;
namespace fs = std::filesystem;

namespace {

// A machine whose serial devices are pseudo-terminals linked into a directory of the test.
class PtyMachine {
 public:
  PtyMachine() {
    fs::create_directories(dev());
    fs::create_directories(sys() / "class/tty");
  }
  fs::path dev() const { return dir_.path() / "dev"; }
  fs::path sys() const { return dir_.path() / "sys"; }
  SerialNameSpace names() const { return SerialNameSpace({dev(), sys()}); }
  std::string path(const std::string& name) const { return (dev() / name).string(); }

  const PtyPair& link(const std::string& name) {
    ptys_.push_back(std::make_unique<PtyPair>());
    fs::create_symlink(ptys_.back()->slavePath(), dev() / name);
    return *ptys_.back();
  }
  void uart(const std::string& name) {
    link(name);
    fs::create_directories(sys() / "class/tty" / name);
    std::ofstream(sys() / "class/tty" / name / "type") << "4\n";
  }
  void dangling(const std::string& name) { fs::create_symlink(dir_.path() / "gone", dev() / name); }
  void console(const std::string& name) {
    fs::create_directories(sys() / "class/tty/console");
    std::ofstream(sys() / "class/tty/console/active") << name << "\n";
  }

 private:
  TempDir dir_;
  std::vector<std::unique_ptr<PtyPair>> ptys_;
};

// Only the probe exists; every other device of the bridge stays absent.
class ProbeOnlyFactory final : public core::DeviceFactory {
 public:
  explicit ProbeOnlyFactory(std::unique_ptr<core::PortProbe> probe) : probe_(std::move(probe)) {}
  std::unique_ptr<core::ComPortDevice> CreateComPort() override { throw absent(); }
  std::unique_ptr<core::DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<core::LightControllerDevice> CreateSLController() override { throw absent(); }
  std::unique_ptr<core::MidiInputDevice> CreateMidiInput() override { throw absent(); }
  std::unique_ptr<core::MidiOutputDevice> CreateMidiOutput() override { throw absent(); }
  std::unique_ptr<core::PortProbe> CreatePortProbe() override { return std::move(probe_); }

 private:
  static std::runtime_error absent() { return std::runtime_error("absent"); }
  std::unique_ptr<core::PortProbe> probe_;
};

}  // namespace

TEST(SerialPortProbe, ListsThePortsInOrderWithoutOpeningAnyAndNeverTheConsole) {
  PtyMachine m;
  m.uart("ttyS0");  // the console: never offered, so COM1 is the next device
  m.console("tty0 ttyS0");
  m.uart("ttyS1");                          // COM1
  m.link("ttyUSB0");                        // COM2
  m.dangling("ttyUSB1");                    // gone: not listed
  const PtyPair& busy = m.link("ttyACM0");  // COM3: held by another program, listed all the same
  const PtyPair& v0 = m.link("ttyV0");      // COM4
  m.link("ttyV12");                         // COM5

  velmora::platform::PosixSerialDevice holder;
  ASSERT_EQ(holder.Open(m.path("ttyACM0")), 0);
  velmora::testing::OpenCounter opensBusy(busy.slavePath());
  velmora::testing::OpenCounter opensV0(v0.slavePath());
  ASSERT_TRUE(opensBusy.valid() && opensV0.valid());

  ProbeOnlyFactory factory(std::make_unique<SerialPortProbe>(m.names()));
  core::Bridge bridge(factory);
  EXPECT_EQ(bridge.ListComPorts(),
            (std::vector<std::string>{
                "COM1 (" + m.path("ttyS1") + ")", "COM2 (" + m.path("ttyUSB0") + ")",
                "COM3 (" + m.path("ttyACM0") + ")", "COM4 (" + m.path("ttyV0") + ")",
                "COM5 (" + m.path("ttyV12") + ")"}));
  EXPECT_TRUE(bridge.ComPortExists(3));
  EXPECT_FALSE(bridge.ComPortExists(6));
  EXPECT_EQ(opensBusy.Take() + opensV0.Take(), 0u) << "listing opened a device";
  // The counters do see an open.
  velmora::platform::PosixSerialDevice again;
  EXPECT_EQ(again.Open(m.path("ttyV0")), 0);
  EXPECT_EQ(opensV0.Take(), 1u);
}

TEST(SerialPortProbe, AnEntryIsIdentifiedByItsByIdLinkElseItsPathAndNamesItsProduct) {
  PtyMachine m;
  m.link("ttyUSB0");
  m.link("ttyUSB1");
  fs::create_directories(m.dev() / "serial/by-id");
  fs::create_symlink("../../ttyUSB1", m.dev() / "serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
  // sysfs: the tty's device is a port of a USB interface of a USB device with a product.
  const fs::path usb = m.sys() / "devices/usb1/1-1";
  fs::create_directories(usb / "1-1:1.0/ttyUSB1");
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  fs::create_directories(m.sys() / "class/tty/ttyUSB1");
  fs::create_symlink(usb / "1-1:1.0/ttyUSB1", m.sys() / "class/tty/ttyUSB1/device");

  SerialPortProbe probe(m.names());
  EXPECT_EQ(probe.Ports(),
            (std::vector<core::SerialEntry>{
                {1, "COM1 (" + m.path("ttyUSB0") + ")", m.path("ttyUSB0")},
                {2, "COM2 (" + m.path("ttyUSB1") + ", FT232R USB UART)",
                 (m.dev() / "serial/by-id/usb-FTDI_FT232R_A1-if00-port0").string()}}));
}
