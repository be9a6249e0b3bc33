// The packet engine: patterns, start and end conditions, delivery, time-outs, the manager.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "serial/PacketEngine.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::PumpUntil;
using testing::ScriptedFactory;
using testing::ScriptedLine;

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST(PacketPattern, EscapesAndWildcards) {
  const TPacketPattern wild("AB?", false);
  ASSERT_EQ(wild.Length(), 3u);
  EXPECT_TRUE(wild.MatchesPrefix(Bytes("ABx").data(), 3, false));
  EXPECT_TRUE(wild.MatchesPrefix(Bytes("ABy").data(), 3, false));

  const TPacketPattern literal("AB\\?", false);
  ASSERT_EQ(literal.Length(), 3u);
  EXPECT_TRUE(literal.MatchesPrefix(Bytes("AB?").data(), 3, false));
  EXPECT_FALSE(literal.MatchesPrefix(Bytes("ABx").data(), 3, false));

  const TPacketPattern backslash("a\\\\", false);
  ASSERT_EQ(backslash.Length(), 2u);
  EXPECT_TRUE(backslash.MatchesPrefix(Bytes("a\\").data(), 2, false));

  EXPECT_EQ(TPacketPattern("x\\", false).Length(), 1u);  // a lone backslash at the end

  const TPacketPattern folded("ab", true);
  EXPECT_TRUE(folded.MatchesPrefix(Bytes("AB").data(), 2, true));
  EXPECT_TRUE(folded.MatchesPrefix(Bytes("ab").data(), 2, true));
  EXPECT_FALSE(TPacketPattern("ab", false).MatchesPrefix(Bytes("AB").data(), 2, false));
}

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.DispatcherFactory = ScriptedFactory(line, clock);
    port.SetComNumber(2);
    packet.OnPacket = [this](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
      packets.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    };
  }
  void TearDown() override {
    packet.SetEnabled(false);
    packet.SetComPort(nullptr);
    EXPECT_TRUE(PumpUntil([] { return PacketManagerList().Count() == 0; }));
  }

  void OneBytePackets() {
    packet.SetComPort(&port);
    packet.SetEndCond(ecPacketSize);
    packet.SetPacketSize(1);
    packet.SetStartCond(TPacketStartCond::scAnyData);
    packet.SetTimeOut(0);
    packet.SetAutoEnable(true);
    packet.SetEnabled(true);
  }

  // Received bytes as the manager takes them on the UI thread.
  void Receive(const std::string& text) {
    packet.Manager()->Receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }

  // Moves the clock on by two ticks or more; returns once the dispatch thread has looked at the
  // packets' time-out at the new time: a timer added after it is looked at after it.
  void Advance(std::chrono::milliseconds by) {
    const auto witness = static_cast<std::uint16_t>(port.AddTimerTrigger());
    bool seen = false;
    port.SetOnTriggerTimer(
        [&](TApdCustomComPort&, std::uint16_t handle) { seen |= handle == witness; });
    port.SetTimerTrigger(witness, 1, true);
    clock.advance(by);
    EXPECT_TRUE(PumpUntil([&] { return seen; }));
    port.SetOnTriggerTimer(nullptr);
  }

  platform::ManualClock clock;
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  TApdComPort port;
  TApdDataPacket packet;
  std::vector<std::string> packets;
};

TEST_F(PacketTest, ThreeBytesInOneBlockGiveThreeOneBytePacketsInOrder) {
  OneBytePackets();
  port.SetOpen(true);
  line->Feed({0x41, 0x42, 0x43});
  ASSERT_TRUE(PumpUntil([&] { return packets.size() == 3; }));
  EXPECT_EQ(packets, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(packet.Manager()->HeldBytes(), 0u);
  EXPECT_EQ(packet.Manager()->Capacity(), 0u);  // an idle port holds no buffer
}

TEST_F(PacketTest, WithoutAutoEnableOnePacketThenTheRestIsDiscarded) {
  OneBytePackets();
  packet.SetAutoEnable(false);
  port.SetOpen(true);
  Receive("ABC");
  EXPECT_EQ(packets, (std::vector<std::string>{"A"}));
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.Manager()->HeldBytes(), 0u);
}

TEST_F(PacketTest, EnabledBeforeOpenWaitsAndSurvivesAClose) {
  OneBytePackets();
  EXPECT_EQ(packet.PacketState(), TPacketState::pstIdle);
  port.SetOpen(true);
  EXPECT_EQ(packet.PacketState(), TPacketState::pstCollecting);
  port.SetOpen(false);
  EXPECT_EQ(packet.PacketState(), TPacketState::pstIdle);
  EXPECT_TRUE(packet.Enabled());
  port.SetOpen(true);
  Receive("Z");
  EXPECT_EQ(packets, (std::vector<std::string>{"Z"}));
}

TEST_F(PacketTest, InvalidConditionsRaiseAndLeaveThePacketDisabled) {
  packet.SetComPort(&port);
  port.SetOpen(true);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  try {
    packet.SetEnabled(true);
    FAIL() << "no exception";
  } catch (const EInvalidProperty& e) {
    EXPECT_EQ(e.ErrorCode(), -5503);
  }
  EXPECT_FALSE(packet.Enabled());

  packet.SetStartCond(TPacketStartCond::scString);
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5501 empty start string
  packet.SetStartString("ABC");
  packet.SetEndCond(ecPacketSize);
  packet.SetPacketSize(2);
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5502
  packet.SetPacketSize(0);
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5505
  packet.SetEndCond(ecString);
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5504
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.PacketState(), TPacketState::pstIdle);
}

TEST_F(PacketTest, ANegativeSizeIsRefusedAsZeroIs) {
  packet.SetComPort(&port);
  port.SetOpen(true);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  packet.SetEndCond(ecString | ecPacketSize);
  packet.SetEndString("bAA");
  packet.SetPacketSize(-32);
  try {
    packet.SetEnabled(true);
    FAIL() << "no exception";
  } catch (const EInvalidProperty& e) {
    EXPECT_EQ(e.ErrorCode(), -5505);
  }
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.PacketState(), TPacketState::pstIdle);
}

TEST_F(PacketTest, AStringOfOnlyAnEscapeIsRefusedAsEmpty) {
  packet.SetComPort(&port);
  port.SetOpen(true);
  packet.SetStartString("\\");  // prepares to no byte at all
  packet.SetEndCond(ecString);
  packet.SetEndString("\r");
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5501
  packet.SetStartString("ST");
  packet.SetEndString("\\");
  EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);  // -5504
  EXPECT_FALSE(packet.Enabled());
  packet.SetEndString("\\\\");  // an escaped backslash is one byte
  packet.SetEnabled(true);
  Receive("xST\\");
  EXPECT_EQ(packets, (std::vector<std::string>{"ST\\"}));
}

TEST_F(PacketTest, StartStringAndSizeDropTheLeadingBytes) {
  packet.SetComPort(&port);
  packet.SetStartString("ST");
  packet.SetEndCond(ecPacketSize);
  packet.SetPacketSize(4);
  packet.SetEnabled(true);
  port.SetOpen(true);
  Receive("xxST12yy");
  EXPECT_EQ(packets, (std::vector<std::string>{"ST12"}));
  EXPECT_EQ(packet.Manager()->HeldBytes(), 0u);
}

TEST_F(PacketTest, StartAndEndStringsWithAndWithoutIncludeStrings) {
  packet.SetComPort(&port);
  packet.SetStartString("$");
  packet.SetEndString("\r");
  packet.SetEndCond(ecString);
  packet.SetEnabled(true);
  port.SetOpen(true);
  Receive("$abc\r");
  packet.SetIncludeStrings(false);
  Receive("$abc\r");
  EXPECT_EQ(packets, (std::vector<std::string>{"$abc\r", "abc"}));
}

TEST_F(PacketTest, WildcardStartsAndCaseFolding) {
  packet.SetComPort(&port);
  packet.SetStartString("ab");
  packet.SetEndCond(0);
  packet.SetEnabled(true);
  port.SetOpen(true);
  Receive("xABab");
  EXPECT_EQ(packets, (std::vector<std::string>{"AB", "ab"}));
}

TEST_F(PacketTest, AnEndStringFoundAfterAFalseStart) {
  packet.SetComPort(&port);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  packet.SetEndString("AB");
  packet.SetEndCond(ecString);
  packet.SetEnabled(true);
  port.SetOpen(true);
  for (char c : std::string("xAAB")) Receive(std::string(1, c));
  EXPECT_EQ(packets, (std::vector<std::string>{"xAAB"}));
}

TEST_F(PacketTest, TwoStringPacketsTheFirstToCompleteCollects) {
  TApdDataPacket second;
  std::vector<std::string> secondPackets;
  second.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
    secondPackets.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  };
  packet.SetComPort(&port);
  second.SetComPort(&port);
  EXPECT_EQ(packet.Manager(), second.Manager());
  packet.SetStartString("A");
  packet.SetEndString(";");
  packet.SetEndCond(ecString);
  second.SetStartString("B");
  second.SetEndString(";");
  second.SetEndCond(ecString);
  packet.SetEnabled(true);
  second.SetEnabled(true);
  port.SetOpen(true);
  // While one collects, the other does not see the bytes: the 'A' inside B's packet starts
  // nothing.
  for (char c : std::string("B1A2;A3;")) Receive(std::string(1, c));
  EXPECT_EQ(secondPackets, (std::vector<std::string>{"B1A2;"}));
  EXPECT_EQ(packets, (std::vector<std::string>{"A3;"}));
  second.SetComPort(nullptr);
}

TEST_F(PacketTest, StringPacketEventGetsACopy) {
  OneBytePackets();
  std::string text;
  packet.OnStringPacket = [&](TApdDataPacket&, const std::string& data) { text += data; };
  port.SetOpen(true);
  Receive("hi");
  EXPECT_EQ(text, "hi");
}

TEST_F(PacketTest, AHandlerExceptionIsReportedAndTheEngineGoesOn) {
  OneBytePackets();
  int reports = 0;
  platform::MessagePump::current().setErrorReport([&](std::exception_ptr) { ++reports; });
  packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t) {
    packets.emplace_back(1, static_cast<char>(*data));
    if (*data == 'B') throw std::runtime_error("handler");
  };
  port.SetOpen(true);
  Receive("ABC");
  platform::MessagePump::current().setErrorReport(nullptr);
  EXPECT_EQ(packets, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(reports, 1);
}

TEST_F(PacketTest, ABlockOfOneBytePacketsNeverDeepensTheStack) {
  OneBytePackets();
  std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
  std::vector<std::uint8_t> seen;
  packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
    const char marker = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&marker);
    lowest = std::min(lowest, at);
    highest = std::max(highest, at);
    seen.insert(seen.end(), data, data + size);
  };
  port.SetOpen(true);
  std::vector<std::uint8_t> block(8192);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  line->Feed(block);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == block.size(); }));
  EXPECT_EQ(seen, block);
  EXPECT_LT(highest - lowest, 16u * 1024u);  // nesting per packet would spread over megabytes
}

TEST_F(PacketTest, TimeOutFiresOnceAndLeavesThePacketDisabled) {
  packet.SetComPort(&port);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  packet.SetEndString("\r");
  packet.SetEndCond(ecString);
  packet.SetTimeOut(18);
  int timeouts = 0;
  packet.OnTimeout = [&](TApdDataPacket&) { ++timeouts; };
  packet.SetEnabled(true);
  port.SetOpen(true);
  Receive("ab");
  ASSERT_EQ(packet.PacketState(), TPacketState::pstCollecting);
  Advance(std::chrono::milliseconds(17 * 55));
  EXPECT_EQ(timeouts, 0);
  clock.advance(std::chrono::milliseconds(2 * 55));
  ASSERT_TRUE(PumpUntil([&] { return timeouts > 0; }));
  Advance(std::chrono::milliseconds(100 * 55));
  EXPECT_EQ(timeouts, 1);
  EXPECT_FALSE(packet.Enabled());
  EXPECT_EQ(packet.Manager()->HeldBytes(), 0u);  // flushed
  EXPECT_TRUE(packets.empty());
}

TEST_F(PacketTest, TimeOutZeroNeverTimesOut) {
  packet.SetComPort(&port);
  packet.SetStartCond(TPacketStartCond::scAnyData);
  packet.SetEndString("\r");
  packet.SetEndCond(ecString);
  packet.SetTimeOut(0);
  int timeouts = 0;
  packet.OnTimeout = [&](TApdDataPacket&) { ++timeouts; };
  packet.SetEnabled(true);
  port.SetOpen(true);
  Receive("ab");
  Advance(std::chrono::hours(1));
  EXPECT_EQ(timeouts, 0);
  Receive("\r");
  EXPECT_EQ(packets, (std::vector<std::string>{"ab\r"}));
}

TEST_F(PacketTest, PacketEventsAreWrittenToThePortsLog) {
  const std::string name = ::testing::TempDir() + "packet_test.log";
  std::remove(name.c_str());
  port.SetLogName(name);
  OneBytePackets();
  port.SetOpen(true);
  port.SetLogging(TTraceLogState::tlOn);
  packet.SetEnabled(false);
  packet.SetEnabled(true);
  Receive("A");
  port.SetLogging(TTraceLogState::tlDump);
  std::ifstream file(name);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const char* text : {"Packet", "Enable", "Disable", "Collecting", "SizePacket", "Idle"})
    EXPECT_NE(log.find(text), std::string::npos) << text;
}

TEST_F(PacketTest, APacketThatLeavesInsideItsOwnEventIsDeliveredOnceAndTheManagerGoes) {
  OneBytePackets();
  packet.OnPacket = [&](TApdDataPacket& sender, const std::uint8_t* data, std::int32_t size) {
    packets.emplace_back(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    sender.SetComPort(nullptr);
  };
  port.SetOpen(true);
  Receive("AB");
  EXPECT_EQ(packets, (std::vector<std::string>{"A"}));
  EXPECT_EQ(packet.Manager(), nullptr);
  ASSERT_TRUE(PumpUntil([] { return PacketManagerList().Count() == 0; }));
  EXPECT_EQ(port.PortCallbackCount(), 0u);
}

TEST(PacketManager, APortDestroyedBeforeItsManagerIsFreedIsNotTouchedAgain) {
  auto line = std::make_shared<ScriptedLine>();
  const auto before = PacketManagerList().Count();
  {
    TApdComPort port;
    port.DispatcherFactory = ScriptedFactory(line);
    port.SetComNumber(1);
    TApdDataPacket packet;
    packet.SetComPort(&port);
    packet.SetComPort(nullptr);  // the manager's free is posted, not yet handled
  }
  EXPECT_EQ(PacketManagerList().Count(), before + 1);
  ASSERT_TRUE(PumpUntil([&] { return PacketManagerList().Count() == before; }));
}

// A port made where a destroyed one lived, before the old manager's free was handled, gets a
// manager of its own, and its packets hear it.
TEST(PacketManager, APortAtTheAddressOfADestroyedOneGetsAManagerOfItsOwn) {
  auto line = std::make_shared<ScriptedLine>();
  const auto before = PacketManagerList().Count();
  std::optional<TApdComPort> port;
  TApdDataPacket packet;
  std::string received;
  packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
    received.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  };
  for (int round = 0; round < 2; ++round) {
    port.emplace();
    port->DispatcherFactory = ScriptedFactory(line);
    port->SetComNumber(1);
    packet.SetComPort(&*port);
    packet.SetEndCond(ecPacketSize);
    packet.SetPacketSize(1);
    packet.SetStartCond(TPacketStartCond::scAnyData);
    packet.SetEnabled(true);
    ASSERT_EQ(&packet.Manager()->Port(), &*port);
    port->SetOpen(true);
    line->Feed({static_cast<std::uint8_t>('a' + round)});
    ASSERT_TRUE(PumpUntil([&] { return received.size() == static_cast<std::size_t>(round + 1); }));
    port->SetOpen(false);
    packet.SetComPort(nullptr);  // the manager's free is posted, not yet handled
    port.reset();
  }
  EXPECT_EQ(received, "ab");
  ASSERT_TRUE(PumpUntil([&] { return PacketManagerList().Count() == before; }));
}

TEST(PacketManager, TheLastPacketLeavingFreesTheManager) {
  auto line = std::make_shared<ScriptedLine>();
  TApdComPort port;
  port.DispatcherFactory = ScriptedFactory(line);
  port.SetComNumber(1);
  const auto before = PacketManagerList().Count();
  {
    TApdDataPacket packet;
    packet.SetComPort(&port);
    EXPECT_EQ(PacketManagerList().Count(), before + 1);
    EXPECT_EQ(PacketManagerList().GetPortManager(port), packet.Manager());
    packet.SetComPort(nullptr);
    EXPECT_EQ(packet.Manager(), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return PacketManagerList().Count() == before; }));
    packet.SetComPort(&port);
    EXPECT_EQ(PacketManagerList().Count(), before + 1);
  }
  ASSERT_TRUE(PumpUntil([&] { return PacketManagerList().Count() == before; }));
  EXPECT_EQ(port.PortCallbackCount(), 0u);
}

}  // namespace
}  // namespace velmora::serial
