// The port, the packet engine, the light controller and the bridge's adapters on real
// pseudo-terminals through the POSIX driver.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/SerialDeviceAdapters.h"
#include "platform/serial/SerialNames.h"
#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "serial/PacketEngine.h"
#include "serial/StatusLightController.h"
#include "support/PtyPair.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

namespace fs = std::filesystem;
using velmora::testing::PtyPair;
using velmora::testing::PumpUntil;
using velmora::testing::TempDir;
using velmora::testing::WaitUntil;

class Lamp : public TApdCustomStatusLight {};

// COM1 is a pseudo-terminal; the test plays the far end.
class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.valid());
    fs::create_directories(dir.path() / "dev");
    fs::create_symlink(pty.slavePath(), dir.path() / "dev/ttyV0");
    port.DispatcherFactory = PlatformDispatcherFactory(names());
    port.SetComNumber(1);
    port.SetBaud(38400);
  }
  // Every received byte a packet of its own, as the bridge configures it.
  void ArmOneBytePackets(TApdDataPacket& packet) {
    packet.SetComPort(&port);
    packet.SetEndCond(ecPacketSize);
    packet.SetPacketSize(1);
    packet.SetStartCond(TPacketStartCond::scAnyData);
    packet.SetTimeOut(0);
    packet.SetEnabled(true);
  }
  // Pumps until `count` bytes were received; gives up only when none came for a long while, so
  // that a slow build is not taken for a stall.
  static bool PumpUntilReceived(const std::vector<std::uint8_t>& received, std::size_t count) {
    for (std::size_t seen = received.size(); received.size() < count; seen = received.size()) {
      if (!PumpUntil([&] { return received.size() != seen; }, std::chrono::seconds(30)))
        return false;
    }
    return true;
  }
  static std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 253);
    return bytes;
  }
  platform::SerialNameSpace names() const {
    return platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"});
  }

  PtyPair pty;
  TempDir dir;
  std::vector<std::string> packets;
  TApdComPort port;
};

TEST_F(PtyPortTest, OpensAtItsSettingsAndWritesItsBlocks) {
  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  const auto termios = pty.termios();
  EXPECT_EQ(termios.ospeed, 38400u);
  EXPECT_EQ(termios.dataBits, 8);
  EXPECT_FALSE(termios.parity);
  EXPECT_FALSE(termios.twoStopBits);
  const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
  ASSERT_GE(port.OutBuffFree(), 3);
  port.PutBlock(bytes, 3);
  EXPECT_EQ(pty.read(3), std::vector<std::uint8_t>(bytes, bytes + 3));
}

// The line asked for before the open against what the port says after it: what the pty runs
// (any rate and stop bits, but 8 bits without parity only).
TEST_F(PtyPortTest, TheLineReadBackAtOpenIsTheOneTheDeviceRuns) {
  struct Line {
    std::int32_t baud;
    std::uint16_t dataBits;
    TParity parity;
    std::uint16_t stopBits;
  };
  const struct {
    Line asked, runs;
  } cases[] = {
      {{31250, 7, TParity::pEven, 2}, {31250, 8, TParity::pNone, 2}},
      {{9600, 6, TParity::pOdd, 1}, {9600, 8, TParity::pNone, 1}},
      {{115200, 8, TParity::pMark, 2}, {115200, 8, TParity::pNone, 2}},
      {{57600, 8, TParity::pNone, 1}, {57600, 8, TParity::pNone, 1}},
  };
  for (const auto& [asked, runs] : cases) {
    SCOPED_TRACE(std::to_string(asked.baud) + "," + std::to_string(asked.dataBits));
    port.SetBaud(asked.baud);
    port.SetDataBits(asked.dataBits);
    port.SetParity(asked.parity);
    port.SetStopBits(asked.stopBits);
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    const auto device = pty.termios();
    EXPECT_EQ(device.ospeed, static_cast<unsigned>(runs.baud));
    EXPECT_EQ(device.dataBits, runs.dataBits);
    EXPECT_EQ(device.parity, runs.parity != TParity::pNone);
    EXPECT_EQ(device.twoStopBits, runs.stopBits == 2);
    EXPECT_EQ(port.Baud(), runs.baud);
    EXPECT_EQ(port.DataBits(), runs.dataBits);
    EXPECT_EQ(port.Parity(), runs.parity);
    EXPECT_EQ(port.StopBits(), runs.stopBits);
    port.SetOpen(false);
  }
}

TEST_F(PtyPortTest, HeldAndMissingPortsRaiseTheirExceptions) {
  port.SetOpen(true);
  TApdComPort second;
  second.DispatcherFactory = PlatformDispatcherFactory(names());
  second.SetComNumber(1);
  EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
  EXPECT_FALSE(second.Open());
  second.SetComNumber(9);
  EXPECT_THROW(second.SetOpen(true), EBadId);
  EXPECT_FALSE(second.Open());
}

TEST_F(PtyPortTest, ReceivedBytesBecomeOneBytePacketsInOrder) {
  TApdDataPacket packet;
  packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
    packets.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  };
  ArmOneBytePackets(packet);
  port.SetOpen(true);
  pty.write({0x41, 0x42, 0x43});
  ASSERT_TRUE(PumpUntil([&] { return packets.size() == 3; }));
  EXPECT_EQ(packets, (std::vector<std::string>{"A", "B", "C"}));
  packet.SetEnabled(false);
  packet.SetComPort(nullptr);
  port.SetOpen(false);
}

// The dispatch thread hands blocks over without waiting for the main thread, but only so far:
// a main thread that handles nothing for a while holds the reading back, and loses nothing.
TEST_F(PtyPortTest, AStalledMainThreadHoldsTheLineBackAndGetsEveryByteInOrder) {
  std::vector<std::uint8_t> received;
  TApdDataPacket packet;
  packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
    received.insert(received.end(), data, data + size);
  };
  ArmOneBytePackets(packet);
  port.SetOpen(true);

  const std::vector<std::uint8_t> sent = Pattern(1 << 20);
  std::atomic<bool> written{false};
  std::thread farEnd([&] {
    pty.write(sent);
    written = true;
  });
  // The far end blocks once the port stops reading; meanwhile no message is handled.
  pollfd master{pty.master(), POLLOUT, 0};
  EXPECT_TRUE(WaitUntil([&] { return ::poll(&master, 1, 0) == 0; }))
      << "the port read on without the main thread taking anything";
  EXPECT_FALSE(written.load());
  EXPECT_TRUE(PumpUntilReceived(received, sent.size()));
  farEnd.join();
  EXPECT_TRUE(received == sent);
  packet.SetEnabled(false);
  packet.SetComPort(nullptr);
  port.SetOpen(false);
}

// Nobody takes the received bytes: the dispatch buffer fills, then the kernel's buffer behind it,
// and the far end waits. Once the main thread takes bytes, what waits in the kernel must be read
// although no new byte arrives to announce it.
TEST_F(PtyPortTest, BytesWaitingBehindAFullBufferAreReadOnceRoomIsMade) {
  port.SetOpen(true);
  TApdBaseDispatcher& dispatcher = *port.CurrentDispatcher();
  const std::vector<std::uint8_t> sent = Pattern(256 * 1024);
  std::thread farEnd([&] { pty.write(sent); });
  ASSERT_TRUE(PumpUntil([&] { return dispatcher.InBuffUsed() == DispatchBufferSize; }));
  pollfd master{pty.master(), POLLOUT, 0};
  ASSERT_TRUE(PumpUntil([&] { return ::poll(&master, 1, 0) == 0; }))
      << "the kernel's buffer never filled behind the full dispatch buffer";

  std::vector<std::uint8_t> received;
  std::vector<std::uint8_t> block(DispatchBufferSize);
  while (received.size() < sent.size()) {
    std::uint32_t waiting = 0;
    if (!PumpUntil([&] { return (waiting = dispatcher.InBuffUsed()) > 0; },
                   std::chrono::seconds(30)))
      break;
    ASSERT_EQ(dispatcher.GetBlock(block.data(), waiting), static_cast<std::int32_t>(waiting));
    received.insert(received.end(), block.begin(), block.begin() + waiting);
  }
  farEnd.join();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  port.SetOpen(false);
}

TEST_F(PtyPortTest, TheSerialLampsFollowTheTraffic) {
  Lamp rxd, txd;
  TApdSLController controller;
  controller.Lights().RXDLight = &rxd;
  controller.Lights().TXDLight = &txd;
  controller.SetComPort(&port);
  // Someone has to take the received bytes, or the receive lamp stays lit.
  port.SetOnTriggerAvail([](TApdCustomComPort& cp, std::uint16_t count) {
    std::vector<std::uint8_t> bytes(count);
    cp.CurrentDispatcher()->GetBlock(bytes.data(), count);
  });
  port.SetOpen(true);
  controller.SetMonitoring(true);
  pty.write({1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  ASSERT_TRUE(PumpUntil([&] { return !rxd.Lit(); }));
  const std::uint8_t bytes[] = {0xC0, 0x05};
  port.PutBlock(bytes, 2);
  ASSERT_TRUE(PumpUntil([&] { return txd.Lit(); }));
  ASSERT_TRUE(PumpUntil([&] { return !txd.Lit(); }));
  EXPECT_EQ(pty.read(2), std::vector<std::uint8_t>(bytes, bytes + 2));
  controller.SetMonitoring(false);
  controller.SetComPort(nullptr);
  port.SetOpen(false);
}

// The bridge's devices over the real components.
TEST_F(PtyPortTest, TheBridgeAdaptersCarryBytesBothWays) {
  core::SerialComPortDevice device;
  device.Port().DispatcherFactory = PlatformDispatcherFactory(names());
  core::SerialDataPacketDevice packet;
  core::SerialLightControllerDevice lights;
  Lamp rxd, txd;
  lights.SetComPort(&device);
  lights.SetRXDLight(&rxd);
  lights.SetTXDLight(&txd);
  packet.SetComPort(&device);
  packet.SetEndCond(ecPacketSize);
  packet.SetPacketSize(1);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  packet.SetTimeOut(0);
  packet.SetOnPacket([&](const std::uint8_t* data, std::int32_t size) {
    packets.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  });
  packet.SetAutoEnable(true);
  packet.SetEnabled(true);
  device.SetComNumber(1);
  device.SetBaud(38400);
  EXPECT_EQ(device.OutBuffFree(), 4096);
  EXPECT_FALSE(device.Open());
  device.SetOpen(true);
  ASSERT_TRUE(device.Open());
  lights.SetMonitoring(true);
  EXPECT_TRUE(lights.Monitoring());

  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  device.PutBlock(note, 3);
  EXPECT_EQ(pty.read(3), std::vector<std::uint8_t>(note, note + 3));
  pty.write({0xF8, 0x80});
  ASSERT_TRUE(PumpUntil([&] { return packets.size() == 2; }));
  EXPECT_EQ(packets, (std::vector<std::string>{"\xF8", "\x80"}));
  ASSERT_TRUE(PumpUntil([&] { return !rxd.Lit() && !txd.Lit(); }));

  lights.SetMonitoring(false);
  device.SetOpen(false);
  EXPECT_FALSE(device.Open());
  packet.SetAutoEnable(false);
  packet.SetEnabled(false);
  packet.SetComPort(nullptr);
  lights.SetComPort(nullptr);
  ASSERT_TRUE(PumpUntil([] { return PacketManagerList().Count() == 0; }));
}

TEST_F(PtyPortTest, AVanishedDeviceIsReportedOnceAndClosesCleanly) {
  core::SerialComPortDevice device;
  device.Port().DispatcherFactory = PlatformDispatcherFactory(names());
  core::SerialLightControllerDevice lights;
  Lamp rxd;
  lights.SetComPort(&device);
  lights.SetRXDLight(&rxd);
  int lost = 0;
  device.SetOnDeviceLost([&] {
    ++lost;
    lights.SetMonitoring(false);
    device.SetOpen(false);  // from inside the notification: finished afterwards
  });
  device.SetComNumber(1);
  device.SetOpen(true);
  lights.SetMonitoring(true);
  EXPECT_FALSE(device.Port().DeviceLost());
  pty.closeMaster();
  ASSERT_TRUE(PumpUntil([&] { return lost > 0 && !device.Open(); }));
  ASSERT_TRUE(PumpUntil([&] { return device.Port().PortState() == TPortState::psClosed; }));
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(lights.Monitoring());
  lights.SetComPort(nullptr);
}

TEST(SerialDeviceAdapters, OnlySerialPortsAttach) {
  class Other : public core::ComPortDevice {
   public:
    std::uint16_t ComNumber() const override { return 0; }
    void SetComNumber(std::uint16_t) override {}
    std::int32_t Baud() const override { return 0; }
    void SetBaud(std::int32_t) override {}
    std::uint16_t DataBits() const override { return 8; }
    std::uint16_t StopBits() const override { return 1; }
    TParity Parity() const override { return TParity::pNone; }
    THWFlowOptionSet HWFlowOptions() const override { return 0; }
    TSWFlowOptions SWFlowOptions() const override { return TSWFlowOptions::swfNone; }
    bool Open() const override { return false; }
    void SetOpen(bool) override {}
    std::uint16_t OutBuffFree() override { return 0; }
    void PutBlock(const std::uint8_t*, std::uint16_t) override {}
  } other;
  core::SerialDataPacketDevice packet;
  core::SerialLightControllerDevice lights;
  EXPECT_THROW(packet.SetComPort(&other), std::invalid_argument);
  EXPECT_THROW(lights.SetComPort(&other), std::invalid_argument);
  EXPECT_NO_THROW(packet.SetComPort(nullptr));
}

}  // namespace
}  // namespace velmora::serial
