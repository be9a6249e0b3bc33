#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "core/Bridge.h"
#include "core/SerialDeviceAdapters.h"
#include "platform/serial/PosixSerialDevice.h"
#include "serial/dispatcher/PosixDispatcher.h"
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

class PortProbeList : public ::testing::TestWithParam<bool> {};

TEST_P(PortProbeList, ListsThePortsInOrderWithGapsAndNeverTheConsole) {
  PtyMachine m;
  m.uart("ttyS0");  // the console: never offered, so COM1 is the next device
  m.console("tty0 ttyS0");
  m.uart("ttyS1");        // COM1
  m.link("ttyUSB0");      // COM2
  m.dangling("ttyUSB1");  // COM3: gone, not listed
  m.link("ttyACM0");      // COM4: held by another program, listed
  m.link("ttyV0");        // COM5
  m.link("ttyV12");       // COM6

  velmora::platform::PosixSerialDevice holder;
  ASSERT_EQ(holder.Open(m.path("ttyACM0")), 0);

  ProbeOnlyFactory factory(std::make_unique<SerialPortProbe>(m.names(), GetParam()));
  core::Bridge bridge(factory);
  bridge.ProbeWithDispatcher = GetParam();
  EXPECT_EQ(bridge.ListComPorts(),
            (std::vector<std::string>{
                "COM1 (" + m.path("ttyS1") + ")", "COM2 (" + m.path("ttyUSB0") + ")",
                "COM4 (" + m.path("ttyACM0") + ")", "COM5 (" + m.path("ttyV0") + ")",
                "COM6 (" + m.path("ttyV12") + ")"}));

  bridge.CountPortsInUse = false;  // a busy port is then left out
  EXPECT_EQ(bridge.ListComPorts().size(), 4u);
  // Probing left every port free.
  holder.Close();
  velmora::platform::PosixSerialDevice again;
  EXPECT_EQ(again.Open(m.path("ttyV0")), 0);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutDispatcher, PortProbeList, ::testing::Bool());

TEST(SerialPortProbe, TellsBusyFromMissing) {
  PtyMachine m;
  m.link("ttyV0");
  m.dangling("ttyV1");
  SerialPortProbe probe(m.names());
  EXPECT_EQ(probe.TryOpen(1), 0);
  EXPECT_EQ(probe.TryOpen(2), 2);
  EXPECT_EQ(probe.TryOpen(3), 2);  // no third device at all
  EXPECT_EQ(probe.TryOpen(0), 2);

  velmora::serial::TApdPosixDispatcher owner(nullptr, m.names());
  ASSERT_EQ(owner.InitPort("\\\\.\\COM1", 38400, 0, 8, 1, 4096, 4096, 0), 0);
  EXPECT_EQ(probe.TryOpen(1), core::PortProbe::kAccessDenied);
  EXPECT_EQ(probe.EntryText(1), "COM1 (" + m.path("ttyV0") + ")");
  owner.DonePort();
  EXPECT_EQ(probe.TryOpen(1), 0);

  velmora::serial::TApdPosixDispatcher missing(nullptr, m.names());
  EXPECT_EQ(missing.InitPort("\\\\.\\COM7", 38400, 0, 8, 1, 4096, 4096, 0), -2);
}
