// The port component on the scripted device: settings, open and close, triggers, callbacks.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::PumpUntil;
using testing::ScriptedFactory;
using testing::ScriptedLine;

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.DispatcherFactory = ScriptedFactory(line);
    port.SetComNumber(3);
  }

  // What the handlers record outlives the port, whose destructor may still notify.
  std::vector<std::string> heard;
  int opens = 0;
  int closes = 0;
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  TApdComPort port;
};

TEST(PortDefaults, NewPortReadsItsDefaults) {
  TApdComPort port;
  EXPECT_EQ(port.ComNumber(), 0);
  EXPECT_EQ(port.Baud(), 19200);
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.StopBits(), 1);
  EXPECT_EQ(port.Parity(), TParity::pNone);
  EXPECT_EQ(port.InSize(), 4096);
  EXPECT_EQ(port.OutSize(), 4096);
  EXPECT_TRUE(port.DTR());
  EXPECT_TRUE(port.RTS());
  EXPECT_TRUE(port.AutoOpen());
  EXPECT_TRUE(port.PromptForPort());
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), TPortState::psClosed);
  EXPECT_EQ(port.TraceName(), "VUSK.TRC");
  EXPECT_EQ(port.LogName(), "VUSK.LOG");
  EXPECT_EQ(port.TraceSize(), 10000u);
  EXPECT_EQ(port.XOnChar(), 17);
  EXPECT_EQ(port.XOffChar(), 19);
  EXPECT_EQ(port.TriggerLength(), 1);
  EXPECT_EQ(port.Version(), "v4.05");
}

TEST(PortDefaults, WritesThatAreCappedOrIgnored) {
  TApdComPort port;
  port.SetUseMSRShadow(false);
  EXPECT_TRUE(port.UseMSRShadow());
  port.SetVersion("v9");
  EXPECT_EQ(port.Version(), "v4.05");
  port.SetTracing(TTraceLogState::tlDump);
  EXPECT_EQ(port.Tracing(), TTraceLogState::tlOff);
  port.SetLogging(TTraceLogState::tlOn);
  EXPECT_EQ(port.Logging(), TTraceLogState::tlOn);
  port.SetTraceSize(5000000);
  EXPECT_EQ(port.TraceSize(), 4000000u);
  port.SetLogSize(20000000);
  EXPECT_EQ(port.LogSize(), 16000000u);
  port.SetDeviceLayer(TDeviceLayer::dlWinsock);
  EXPECT_EQ(port.DeviceLayer(), TDeviceLayer::dlWin32);
}

TEST(PortFlowControl, HardwareAndSoftwareDefaultsAndCaps) {
  TApdComPort hw;
  hw.SetHWFlowOptions(hwfRequireCTS);
  EXPECT_EQ(hw.BufferFull(), 3686);
  EXPECT_EQ(hw.BufferResume(), 410);

  TApdComPort sw;
  sw.SetSWFlowOptions(TSWFlowOptions::swfBoth);
  EXPECT_EQ(sw.BufferFull(), 3072);
  EXPECT_EQ(sw.BufferResume(), 1024);

  TApdComPort full;
  full.SetBufferFull(5000);
  EXPECT_EQ(full.BufferFull(), 3686);
  full.SetBufferResume(4000);
  EXPECT_EQ(full.BufferResume(), 369);  // 3686 x 0.1
}

TEST(PortFlowControl, RS485ModeAndRtsFlowExcludeEachOther) {
  TApdComPort port;
  port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS | hwfUseDTR);
  port.SetRS485Mode(true);
  EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR);
  EXPECT_FALSE(port.RTS());
  port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS);
  EXPECT_FALSE(port.RS485Mode());
}

TEST_F(PortTest, QueriesOfAClosedPortNeverOpenIt) {
  EXPECT_EQ(port.OutBuffFree(), 4096);
  EXPECT_EQ(port.OutBuffUsed(), 0);
  EXPECT_EQ(port.InBuffUsed(), 0);
  EXPECT_FALSE(port.CTS());
  EXPECT_EQ(port.LineError(), 0);
  port.RemoveTrigger(8);
  EXPECT_EQ(port.PortState(), TPortState::psClosed);
  EXPECT_TRUE(line->opened.empty());
}

TEST_F(PortTest, SettingsWrittenWhileClosedReachTheDeviceAtOpen) {
  port.SetBaud(38400);
  EXPECT_TRUE(line->opened.empty());
  port.SetOpen(true);
  ASSERT_EQ(port.PortState(), TPortState::psOpen);
  ASSERT_EQ(line->opened.size(), 1u);
  EXPECT_EQ(line->opened[0], "\\\\.\\COM3");
  EXPECT_EQ(port.CurrentDispatcher()->LineSettings().BaudRate, 38400u);
  EXPECT_EQ(port.CurrentDispatcher()->DeviceName(), "COM3");
  port.SetBaud(9600);
  EXPECT_EQ(port.CurrentDispatcher()->LineSettings().BaudRate, 9600u);
}

TEST_F(PortTest, PutBlockOpensAClosedPortWhenAutoOpen) {
  const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
  EXPECT_EQ(port.PutBlock(bytes, 3), 0);
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(PumpUntil([&] { return line->Written().size() == 3; }));
  EXPECT_EQ(line->Written(), std::vector<std::uint8_t>(bytes, bytes + 3));
}

TEST_F(PortTest, WithoutAutoOpenTheDeviceIsRequiredOpen) {
  port.SetAutoOpen(false);
  const std::uint8_t byte = 1;
  try {
    port.PutBlock(&byte, 1);
    FAIL() << "no exception";
  } catch (const ECommNotOpen& e) {
    EXPECT_EQ(e.ErrorCode(), -2007);
  }
  EXPECT_EQ(port.Dispatcher(), nullptr);
  EXPECT_THROW(port.AddTimerTrigger(), ECommNotOpen);
}

TEST_F(PortTest, OpenFailuresRaiseTheirClassAndLeaveThePortClosed) {
  line->busy.insert(3);
  try {
    port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const EAlreadyOpen& e) {
    EXPECT_EQ(e.ErrorCode(), -2008);
  }
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.PortState(), TPortState::psClosed);
  EXPECT_EQ(port.CurrentDispatcher(), nullptr);

  port.SetComNumber(4);
  line->missing.insert(4);
  EXPECT_THROW(port.SetOpen(true), EBadId);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.ComNumber(), 4);
}

TEST_F(PortTest, NoPortChosenRaisesNoPortSelected) {
  TApdComPort unset;
  unset.DispatcherFactory = ScriptedFactory(line);
  unset.SetPromptForPort(false);
  EXPECT_THROW(unset.SetOpen(true), ENoPortSelected);
  unset.SetPromptForPort(true);
  unset.PortSelector = [] { return std::uint16_t{0}; };  // the user cancels
  EXPECT_THROW(unset.SetOpen(true), ENoPortSelected);
  unset.PortSelector = [] { return std::uint16_t{7}; };
  unset.SetOpen(true);
  EXPECT_EQ(unset.ComNumber(), 7);
  EXPECT_TRUE(unset.Open());
}

TEST_F(PortTest, CallbacksHearOpenClosingAndClosedInReverseOrder) {
  port.AddPortCallback([&](TApdCustomComPort&, bool opening) {
    heard.push_back(opening ? "cb open" : "cb closed");
  });
  port.AddPortCallbackEx([&](TApdCustomComPort&, TPortCallbackKind kind) {
    heard.push_back("ex " + std::to_string(static_cast<int>(kind)));
  });
  port.OnPortOpen = [&](TApdCustomComPort&) { heard.push_back("OnPortOpen"); };
  port.OnPortClose = [&](TApdCustomComPort&) { heard.push_back("OnPortClose"); };
  port.SetOpen(true);
  port.SetOpen(false);
  EXPECT_EQ(heard, (std::vector<std::string>{"ex 0", "cb open", "OnPortOpen", "ex 1", "ex 2",
                                             "cb closed", "OnPortClose"}));
}

TEST_F(PortTest, AnOpenCallbackThatRaisesFailsTheOpen) {
  port.OnPortOpen = [](TApdCustomComPort&) { throw std::runtime_error("refused"); };
  EXPECT_THROW(port.SetOpen(true), std::runtime_error);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.CurrentDispatcher(), nullptr);
  EXPECT_EQ(line->openCount, 0);
}

struct Listener {
  int calls = 0;
  void Heard(TApdCustomComPort&, bool) { ++calls; }
  void Other(TApdCustomComPort&, bool) { ++calls; }
};

TEST_F(PortTest, RemovePortCallbackRemovesEveryRegistrationOfTheSameCode) {
  Listener a, b;
  port.AddPortCallback(TPortCallback(&a, &Listener::Heard));
  port.AddPortCallback(TPortCallback(&b, &Listener::Heard));
  port.AddPortCallback(TPortCallback(&b, &Listener::Other));
  port.RemovePortCallback(TPortCallback(&a, &Listener::Heard));
  EXPECT_EQ(port.PortCallbackCount(), 1u);
  port.SetOpen(true);
  EXPECT_EQ(a.calls, 0);
  EXPECT_EQ(b.calls, 1);
  port.RemovePortCallback(TPortCallback(&b, &Listener::Other));
}

TEST_F(PortTest, TriggerHandlesSurviveCloseAndReopen) {
  port.SetOpen(true);
  const auto timer = port.AddTimerTrigger();
  const auto status = port.AddStatusTrigger(5);
  EXPECT_EQ(timer % 8, 0);
  EXPECT_EQ(status & 7, 5);
  EXPECT_THROW(port.AddStatusTrigger(6), EBadArgument);
  port.SetOpen(false);
  EXPECT_TRUE(port.TriggersSaved());
  port.SetOpen(true);
  EXPECT_NO_THROW(port.SetTimerTrigger(static_cast<std::uint16_t>(timer), 5, true));
  EXPECT_NO_THROW(port.SetStatusTrigger(static_cast<std::uint16_t>(status), 0, true));
  EXPECT_THROW(port.SetTimerTrigger(static_cast<std::uint16_t>(timer + 800), 5, true),
               EBadTriggerHandle);
}

TEST_F(PortTest, ComNumberChangedWhileOpenKeepsTriggersTracingAndLogging) {
  port.SetTraceName(::testing::TempDir() + "port_test.trc");
  port.SetLogName(::testing::TempDir() + "port_test.log");
  port.SetOpen(true);
  port.SetTracing(TTraceLogState::tlOn);
  port.SetLogging(TTraceLogState::tlOn);
  const auto timer = static_cast<std::uint16_t>(port.AddTimerTrigger());
  port.SetComNumber(5);
  EXPECT_TRUE(port.Open());
  EXPECT_NE(port.CurrentDispatcher(), nullptr);
  EXPECT_EQ(line->opened.back(), "\\\\.\\COM5");
  EXPECT_EQ(port.Tracing(), TTraceLogState::tlOn);
  EXPECT_EQ(port.Logging(), TTraceLogState::tlOn);
  EXPECT_TRUE(port.CurrentDispatcher()->Tracing());
  EXPECT_TRUE(port.CurrentDispatcher()->Logging());
  EXPECT_NO_THROW(port.SetTimerTrigger(timer, 3, true));
  EXPECT_EQ(line->openCount, 1);
}

TEST_F(PortTest, DtrUnderFlowControlKeepsItsValue) {
  port.SetHWFlowOptions(hwfUseDTR);
  port.SetOpen(true);
  port.SetDTR(false);
  EXPECT_TRUE(port.DTR());
  port.SetRTS(false);
  EXPECT_FALSE(port.RTS());
}

TEST_F(PortTest, TriggerEventsRunOnTheUIThreadWithTheirCounts) {
  std::vector<std::uint16_t> avail;
  std::vector<std::uint16_t> generic;
  port.SetOnTriggerAvail([&](TApdCustomComPort&, std::uint16_t count) {
    avail.push_back(count);
    std::vector<std::uint8_t> bytes(count);
    port.CurrentDispatcher()->GetBlock(bytes.data(), count);
  });
  port.SetOnTrigger([&](TApdCustomComPort&, std::uint16_t msg, std::uint16_t, std::uint16_t) {
    generic.push_back(msg);
  });
  port.SetOpen(true);
  line->Feed({1, 2, 3});
  ASSERT_TRUE(PumpUntil([&] { return !avail.empty(); }));
  EXPECT_EQ(avail[0], 3);
  EXPECT_EQ(generic[0], apw_TriggerAvail);
  port.SetOpen(false);  // before the handlers' state goes
}

TEST_F(PortTest, OpenSetWhileAClosingFromANotificationReopensAfterTheClose) {
  port.OnPortOpen = [&](TApdCustomComPort&) { ++opens; };
  port.OnPortClose = [&](TApdCustomComPort&) { ++closes; };
  bool closedInside = false;
  port.SetOnTriggerAvail([&](TApdCustomComPort& cp, std::uint16_t) {
    if (closedInside) return;
    closedInside = true;
    cp.SetOpen(false);
    EXPECT_EQ(cp.PortState(), TPortState::psClosing);
    cp.SetOpen(true);
    EXPECT_TRUE(cp.ReopenPending());
  });
  port.SetOpen(true);
  line->Feed({0x41});
  ASSERT_TRUE(PumpUntil([&] { return closedInside && opens == 2; }));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(port.PortState(), TPortState::psOpen);
  EXPECT_FALSE(port.ReopenPending());
  EXPECT_EQ(line->openCount, 1);
  port.SetOpen(false);
}

TEST_F(PortTest, ACloseFromANotificationFinishesAfterDelivery) {
  port.SetOnTriggerAvail([&](TApdCustomComPort& cp, std::uint16_t) { cp.SetOpen(false); });
  port.SetOpen(true);
  line->Feed({0x41});
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == TPortState::psClosed; }));
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.CurrentDispatcher(), nullptr);
  EXPECT_EQ(line->openCount, 0);
}

TEST_F(PortTest, AssignCopiesSettingsAndLeavesTheCopyClosed) {
  port.SetBaud(38400);
  port.SetHWFlowOptions(hwfRequireCTS);
  port.SetOpen(true);
  const auto timer = static_cast<std::uint16_t>(port.AddTimerTrigger());
  TApdComPort copy;
  copy.DispatcherFactory = ScriptedFactory(line);
  copy.Assign(port);
  EXPECT_FALSE(copy.Open());
  EXPECT_EQ(copy.Baud(), 38400);
  EXPECT_EQ(copy.ComNumber(), 3);
  EXPECT_EQ(copy.BufferFull(), 3686);
  EXPECT_TRUE(copy.TriggersSaved());
  port.SetOpen(false);
  copy.SetOpen(true);
  EXPECT_NO_THROW(copy.SetTimerTrigger(timer, 2, true));
}

}  // namespace
}  // namespace velmora::serial
