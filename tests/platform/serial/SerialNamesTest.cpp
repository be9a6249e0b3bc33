#include <gtest/gtest.h>

#include <fstream>

#include "platform/serial/SerialNames.h"
#include "support/PtyPair.h"

using velmora::platform::ComNumberOf;
using velmora::platform::SerialNameSpace;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// A dev and sys tree of a made-up machine. Device nodes are plain files here: naming never opens
// them.
class FakeMachine {
 public:
  FakeMachine() {
    fs::create_directories(dev());
    fs::create_directories(sys() / "class/tty");
  }
  fs::path dev() const { return dir_.path() / "dev"; }
  fs::path sys() const { return dir_.path() / "sys"; }
  SerialNameSpace names() const { return SerialNameSpace({dev(), sys()}); }

  void device(const std::string& name) const { std::ofstream(dev() / name) << ""; }
  void uart(const std::string& name, int type) const {
    device(name);
    fs::create_directories(sys() / "class/tty" / name);
    std::ofstream(sys() / "class/tty" / name / "type") << type << "\n";
  }
  void console(const std::string& active) const {
    fs::create_directories(sys() / "class/tty/console");
    std::ofstream(sys() / "class/tty/console/active") << active << "\n";
  }
  std::string path(const std::string& name) const { return (dev() / name).string(); }

 private:
  TempDir dir_;
};

}  // namespace

TEST(SerialNameSpace, NumbersGroupsInTheirOrderAndDevicesInNumberOrder) {
  FakeMachine m;
  m.device("ttyV0");
  m.device("rfcomm0");
  m.device("ttyAMA0");
  m.device("ttyACM1");
  m.device("ttyUSB10");
  m.device("ttyUSB2");
  m.uart("ttyS0", 4);
  m.uart("ttyS1", 0);  // a slot without a UART
  m.uart("ttyS10", 4);
  m.device("ttyS3");  // no attributes: nothing says a UART is there
  m.device("ttyUSBx");
  m.device("tty0");
  m.device("ttyprintk");
  m.device("console");

  const std::vector<std::string> expected = {
      m.path("ttyS0"),   m.path("ttyS10"),  m.path("ttyUSB2"), m.path("ttyUSB10"),
      m.path("ttyACM1"), m.path("ttyAMA0"), m.path("rfcomm0"), m.path("ttyV0")};
  const SerialNameSpace names = m.names();
  EXPECT_EQ(names.Devices(), expected);
  EXPECT_EQ(names.DevicePath(3), m.path("ttyUSB2"));
  EXPECT_EQ(names.DevicePath(9), "");
  EXPECT_EQ(names.DevicePath(0), "");
  EXPECT_EQ(names.EntryText(3), "COM3 (" + m.path("ttyUSB2") + ")");
  EXPECT_EQ(names.EntryText(9), "COM9");
  EXPECT_EQ(ComDeviceName(4, names), m.path("ttyUSB10"));
}

TEST(SerialNameSpace, NeverOffersTheConsole) {
  FakeMachine m;
  m.uart("ttyS0", 4);
  m.uart("ttyS1", 4);
  m.device("ttyUSB0");
  fs::create_symlink(m.dev() / "ttyS0", m.dev() / "ttyV0");  // the console under another name
  m.console("tty0 ttyS0");
  EXPECT_EQ(m.names().Devices(), (std::vector<std::string>{m.path("ttyS1"), m.path("ttyUSB0")}));
}

TEST(SerialNameSpace, StopsAtFiftyPorts) {
  FakeMachine m;
  for (int i = 0; i < 60; ++i) m.device("ttyV" + std::to_string(i));
  const auto devices = m.names().Devices();
  ASSERT_EQ(devices.size(), 50u);
  EXPECT_EQ(devices.back(), m.path("ttyV49"));
  EXPECT_EQ(m.names().DevicePath(51), "");
}

TEST(SerialNameSpace, ResolvesPortNamesAndLeavesPathsAlone) {
  FakeMachine m;
  m.device("ttyUSB0");
  m.device("ttyUSB1");
  const SerialNameSpace names = m.names();
  EXPECT_EQ(names.Resolve("\\\\.\\COM2"), m.path("ttyUSB1"));
  EXPECT_EQ(names.Resolve("COM1"), m.path("ttyUSB0"));
  EXPECT_EQ(names.Resolve("\\\\.\\COM3"), "");
  EXPECT_EQ(names.Resolve("COMX"), "");
  EXPECT_EQ(names.Resolve("/dev/pts/7"), "/dev/pts/7");

  EXPECT_EQ(ComNumberOf("COM12"), 12);
  EXPECT_EQ(ComNumberOf("COM3 (/dev/ttyUSB0)"), 3);
  EXPECT_EQ(ComNumberOf("\\\\.\\COM7"), 7);
  EXPECT_EQ(ComNumberOf("COM0"), 0);
  EXPECT_EQ(ComNumberOf("COM3x"), 0);
  EXPECT_EQ(ComNumberOf("LPT1"), 0);
}
