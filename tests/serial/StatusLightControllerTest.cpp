// The light controller on the scripted device, and the lamp base's repaint rules.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "serial/StatusLightController.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::PumpFor;
using testing::PumpUntil;
using testing::ScriptedFactory;
using testing::ScriptedLine;

class Lamp : public TApdCustomStatusLight {
 public:
  int repaints = 0;
  bool glyph = false;

 protected:
  void Changed() override { ++repaints; }
  bool GlyphShown() const override { return glyph; }
};

TEST(StatusLight, ColourChangesRepaintOnlyWhenOnShow) {
  Lamp lamp;
  lamp.SetLitColor(clLime);  // dark: the lit colour is not on show
  EXPECT_EQ(lamp.repaints, 0);
  lamp.SetNotLitColor(clNavy);
  EXPECT_EQ(lamp.repaints, 1);
  lamp.SetLit(true);
  EXPECT_EQ(lamp.repaints, 2);
  EXPECT_EQ(lamp.CurrentColor(), clLime);
  lamp.SetLit(true);
  EXPECT_EQ(lamp.repaints, 2);
  lamp.glyph = true;
  lamp.SetLitColor(clRed);
  EXPECT_EQ(lamp.repaints, 2);
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.DispatcherFactory = ScriptedFactory(line, clock);
    port.SetComNumber(1);
    controller.Lights().RXDLight = &rxd;
    controller.Lights().TXDLight = &txd;
  }
  void TearDown() override {
    controller.SetMonitoring(false);
    controller.SetComPort(nullptr);
  }

  // Ticks pass until `done`.
  bool TicksUntil(const std::function<bool()>& done) {
    return PumpUntil([&] {
      clock.advance(std::chrono::milliseconds(55));
      return done();
    });
  }

  platform::ManualClock clock;
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  TApdComPort port;
  TApdSLController controller;
  Lamp rxd, txd;
};

TEST_F(ControllerTest, DefaultsAndMonitoringWithoutAPortRaises) {
  EXPECT_EQ(controller.ErrorOffTimeout, 36);
  EXPECT_EQ(controller.BreakOffTimeout, 36);
  EXPECT_EQ(controller.RXDOffTimeout, 1);
  EXPECT_EQ(controller.TXDOffTimeout, 1);
  EXPECT_EQ(controller.RingOffTimeout, 8);
  try {
    controller.SetMonitoring(true);
    FAIL() << "no exception";
  } catch (const EPortNotAssigned& e) {
    EXPECT_EQ(e.ErrorCode(), -1005);
  }
}

TEST_F(ControllerTest, OnlyTheAssignedLampsGetTriggers) {
  controller.SetComPort(&port);
  port.SetOpen(true);
  controller.SetMonitoring(true);
  EXPECT_EQ(controller.ModemTrigger(), 0);
  EXPECT_EQ(controller.ErrorTrigger(), 0);
  EXPECT_EQ(controller.BreakTrigger(), 0);
  EXPECT_EQ(controller.RingOffTimer(), 0);
  EXPECT_NE(controller.RXDOffTimer(), 0);
  EXPECT_NE(controller.TXDOffTimer(), 0);
  EXPECT_EQ(controller.TXDTrigger() & 7, 5);
  controller.SetMonitoring(false);
  EXPECT_EQ(controller.RXDOffTimer(), 0);
  EXPECT_EQ(controller.TXDTrigger(), 0);
}

TEST_F(ControllerTest, ReceiveLampLitByABurstAndDarkOnceTheBufferIsEmpty) {
  std::vector<std::uint16_t> ownAvail;
  std::vector<std::uint16_t> ownTimers;
  port.SetOnTriggerAvail([&](TApdCustomComPort& cp, std::uint16_t count) {
    ownAvail.push_back(count);
    std::vector<std::uint8_t> bytes(count);
    cp.CurrentDispatcher()->GetBlock(bytes.data(), count);
  });
  port.SetOnTriggerTimer([&](TApdCustomComPort&, std::uint16_t h) { ownTimers.push_back(h); });
  controller.SetComPort(&port);
  port.SetOpen(true);
  controller.SetMonitoring(true);
  line->Feed({1, 2, 3, 4});
  ASSERT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  ASSERT_TRUE(TicksUntil([&] { return !rxd.Lit(); }));
  EXPECT_EQ(port.InBuffUsed(), 0);
  // The port's own handlers still heard everything, after the controller.
  EXPECT_EQ(ownAvail, (std::vector<std::uint16_t>{4}));
  EXPECT_FALSE(ownTimers.empty());
  EXPECT_EQ(ownTimers.back(), controller.RXDOffTimer());
  line->Feed({5});
  EXPECT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  controller.SetMonitoring(false);
  port.SetOpen(false);  // before the handlers' state goes
}

TEST_F(ControllerTest, TransmitLampAndItsReArmedOutputSentTrigger) {
  controller.SetComPort(&port);
  port.SetOpen(true);
  controller.SetMonitoring(true);
  const std::uint8_t bytes[] = {0x90, 0x40, 0x7F};
  port.PutBlock(bytes, 3);
  ASSERT_TRUE(PumpUntil([&] { return txd.Lit(); }));
  ASSERT_TRUE(TicksUntil([&] { return !txd.Lit(); }));
  EXPECT_EQ(port.OutBuffUsed(), 0);
  // Armed again: the next write lights it again.
  port.PutBlock(bytes, 3);
  EXPECT_TRUE(PumpUntil([&] { return txd.Lit(); }));
  EXPECT_TRUE(TicksUntil([&] { return !txd.Lit(); }));
}

// Lit, the receive lamp needs no news of arrivals: without a handler of the port's own it gives
// up its avail handler (so the dispatcher reads on without waiting for this thread), and takes
// it back when it goes dark, in time for the next arrival.
TEST_F(ControllerTest, TheLitReceiveLampGivesUpTheAvailHandlerUntilItGoesDark) {
  controller.SetComPort(&port);
  port.SetOpen(true);
  controller.SetMonitoring(true);
  const TTriggerAvailEvent controllers = port.OnTriggerAvail();
  ASSERT_TRUE(controllers);
  line->Feed({1, 2});
  ASSERT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  EXPECT_FALSE(port.OnTriggerAvail());
  std::uint8_t bytes[2];
  ASSERT_EQ(port.CurrentDispatcher()->GetBlock(bytes, 2), 2);  // what a packet would take
  ASSERT_TRUE(TicksUntil([&] { return !rxd.Lit(); }));
  EXPECT_TRUE(port.OnTriggerAvail() == controllers);
  line->Feed({3});
  EXPECT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  controller.SetMonitoring(false);
  EXPECT_FALSE(port.OnTriggerAvail());
  port.SetOpen(false);
}

TEST_F(ControllerTest, MonitoringAskedWhileClosedStartsAtOpenAndRestoresTheOwnHandlers) {
  int own = 0;
  const TTriggerAvailEvent ownAvail = [&](TApdCustomComPort&, std::uint16_t) { ++own; };
  port.SetOnTriggerAvail(ownAvail);
  controller.SetComPort(&port);
  controller.SetMonitoring(true);
  EXPECT_FALSE(controller.Monitoring());
  EXPECT_TRUE(controller.MonitorOnOpen());
  EXPECT_TRUE(port.OnTriggerAvail() == ownAvail);  // nothing installed yet
  port.SetOpen(true);
  EXPECT_TRUE(controller.Monitoring());
  EXPECT_FALSE(port.OnTriggerAvail() == ownAvail);
  EXPECT_TRUE(port.OnTriggerStatus());  // the controller's
  controller.SetMonitoring(false);
  EXPECT_TRUE(port.OnTriggerAvail() == ownAvail);
  EXPECT_FALSE(port.OnTriggerStatus());
  EXPECT_FALSE(port.OnTriggerTimer());
  port.SetOpen(false);
}

TEST_F(ControllerTest, APortCloseSwitchesMonitoringOffAndDarkensTheLamps) {
  const TTriggerTimerEvent ownTimer = [](TApdCustomComPort&, std::uint16_t) {};
  port.SetOnTriggerTimer(ownTimer);
  controller.SetComPort(&port);
  port.SetOpen(true);
  controller.SetMonitoring(true);
  line->Feed({1});
  ASSERT_TRUE(PumpUntil([&] { return rxd.Lit(); }));
  port.SetOpen(false);
  // A close asked while the dispatch thread is notifying is finished later, through the port's
  // window.
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == TPortState::psClosed; }));
  EXPECT_FALSE(controller.Monitoring());
  EXPECT_FALSE(rxd.Lit());
  EXPECT_FALSE(txd.Lit());
  EXPECT_TRUE(port.OnTriggerTimer() == ownTimer);
  // It was on when the port closed: it comes back with the port.
  port.SetOpen(true);
  EXPECT_TRUE(PumpUntil([&] { return controller.Monitoring(); }));
}

TEST_F(ControllerTest, ChangingPortsMovesTheOpenCloseCallback) {
  TApdComPort other;
  other.DispatcherFactory = ScriptedFactory(line, clock);
  other.SetComNumber(2);
  controller.SetComPort(&port);
  EXPECT_EQ(port.PortCallbackCount(), 1u);
  controller.SetComPort(&other);
  EXPECT_EQ(port.PortCallbackCount(), 0u);
  EXPECT_EQ(other.PortCallbackCount(), 1u);
  controller.SetComPort(nullptr);
  EXPECT_EQ(other.PortCallbackCount(), 0u);
}

}  // namespace
}  // namespace velmora::serial
