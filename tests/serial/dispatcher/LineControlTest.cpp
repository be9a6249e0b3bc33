// Line control over the scripted device: settings, write-through, DTR/RTS, modem status,
// line errors and flow control.

#include <gtest/gtest.h>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::PumpUntil;
using testing::ScriptedDevice;

class LineControl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(d.Open(38400), 0); }
  void TearDown() override { d.DonePort(); }
  ScriptedDevice d;
};

TEST_F(LineControl, InitPortWritesTheRequestedLine) {
  const TDCB device = d.Line().DeviceSettings();
  EXPECT_EQ(device.BaudRate, 38400u);
  EXPECT_EQ(device.ByteSize, 8);
  EXPECT_EQ(device.Parity, 0);
  EXPECT_EQ(device.StopBits, 0);
  EXPECT_TRUE(device.fBinary);
  EXPECT_EQ(device.fDtrControl, 1);
  EXPECT_EQ(device.fRtsControl, 1);
  std::uint32_t baud = 0;
  std::uint16_t parity = 9;
  std::uint8_t dataBits = 0;
  std::uint8_t stopBits = 0;
  d.GetLine(baud, parity, dataBits, stopBits);
  EXPECT_EQ(baud, 38400u);
  EXPECT_EQ(parity, 0);
  EXPECT_EQ(dataBits, 8);
  EXPECT_EQ(stopBits, 1);
}

TEST_F(LineControl, SetLineWithUnchangedValuesWritesNothing) {
  const int writes = d.Line().SetComStateCalls();
  const auto pauses = d.Line().Pauses().size();
  EXPECT_EQ(d.SetLine(38400, 0, 8, 1), 0);
  EXPECT_EQ(d.SetLine(0, 5, 9, 3), 0);  // every value kept
  EXPECT_EQ(d.Line().SetComStateCalls(), writes);
  EXPECT_EQ(d.Line().Pauses().size(), pauses);  // no drain wait either
}

TEST_F(LineControl, DrainWaitLastsEighteenCharactersAtThePreviousRate) {
  // 38400 baud, 8N1: 10 bits; (10000000 div 38400) * 10 * 18 = 46800 -> 4.68 ms -> 5 ms.
  EXPECT_EQ(d.SetLine(9600, 0, 8, 1), 0);
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{5});
  // 9600 baud, 8N1: 1041 * 10 * 18 = 187380 -> 19 ms.
  EXPECT_EQ(d.SetLine(19200, 2, 7, 2), 0);
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{19});
  // 19200 baud, 7E2: 7 + 2 + 1 + 1 = 11 bits; 520 * 11 * 18 = 102960 -> 11 ms.
  EXPECT_EQ(d.SetLine(115200, 0, 8, 1), 0);
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{11});
  // 115200 baud, 8N1: 86 * 10 * 18 = 15480 -> 2 ms.
  EXPECT_EQ(d.SetLine(0xFF1B, 0, 8, 1), 0);  // a legacy rate code for 38400
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{2});
  // The legacy code is kept as written, and read back as the rate it names; the drain wait
  // at 38400 uses it too.
  EXPECT_EQ(d.Line().DeviceSettings().BaudRate, 0xFF1Bu);
  std::uint32_t baud = 0;
  std::uint16_t parity = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t stopBits = 0;
  d.GetLine(baud, parity, dataBits, stopBits);
  EXPECT_EQ(baud, 38400u);
  EXPECT_EQ(d.SetLine(300, 0, 8, 1), 0);
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{5});
  // 300 baud is slow enough for the doubling not to apply; 110 through its code.
  EXPECT_EQ(d.SetLine(0xFF10, 0, 8, 1), 0);
  EXPECT_EQ(d.Line().Pauses().back(), std::chrono::milliseconds{600});  // 33333*10*18
}

TEST_F(LineControl, StopBitsAndFiveDataBits) {
  EXPECT_EQ(d.SetLine(0, 5, 5, 2), 0);
  EXPECT_EQ(d.Line().DeviceSettings().StopBits, 1);  // one and a half
  EXPECT_EQ(d.Line().DeviceSettings().ByteSize, 5);
  std::uint32_t baud = 0;
  std::uint16_t parity = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t stopBits = 0;
  d.GetLine(baud, parity, dataBits, stopBits);
  EXPECT_EQ(stopBits, 2);
  EXPECT_EQ(d.SetLine(0, 5, 8, 0), 0);  // 0 stop bits means one
  EXPECT_EQ(d.Line().DeviceSettings().StopBits, 0);
  EXPECT_EQ(d.SetLine(0, 5, 9, 7), 0);  // above 2 means two
  EXPECT_EQ(d.Line().DeviceSettings().StopBits, 2);
}

TEST_F(LineControl, AFailedSetComStateLeavesTheDeviceAndReportsTheError) {
  d.Line().FailSetComState(-87);
  EXPECT_EQ(d.SetLine(9600, 0, 8, 1), -87);
  EXPECT_EQ(d.Line().DeviceSettings().BaudRate, 38400u);
  d.Line().FailSetComState(0);
  // The next change starts again from the device's own settings.
  EXPECT_EQ(d.SetLine(0, 2, 9, 3), 0);
  EXPECT_EQ(d.Line().DeviceSettings().BaudRate, 38400u);
  EXPECT_EQ(d.Line().DeviceSettings().Parity, 2);
}

TEST_F(LineControl, DtrAndRtsFollowHandshakeAndEscapes) {
  EXPECT_EQ(d.SetDTR(false), 0);
  EXPECT_EQ(d.Line().EscapeCalls().back(), CLRDTR);
  EXPECT_EQ(d.SetRTS(true), 0);
  EXPECT_EQ(d.Line().EscapeCalls().back(), SETRTS);
  d.Line().FailEscape(-1);
  EXPECT_EQ(d.SetRTS(false), ecBadArgument);
  d.Line().FailEscape(0);
  EXPECT_EQ(d.SetHWFlowOptions(3686, 410, hfUseDTR), 0);
  const auto escapes = d.Line().EscapeCalls().size();
  EXPECT_EQ(d.SetDTR(true), 1);  // under flow control: left alone
  EXPECT_EQ(d.Line().EscapeCalls().size(), escapes);
  EXPECT_EQ(d.Line().DeviceSettings().fDtrControl, 2);
  // RTS was lowered by hand above and written through as off.
  EXPECT_EQ(d.Line().DeviceSettings().fRtsControl, 0);
}

TEST_F(LineControl, HardwareFlowOptions) {
  const TDCB before = d.Line().DeviceSettings();
  const int writes = d.Line().SetComStateCalls();
  EXPECT_EQ(d.SetHWFlowOptions(4000, 4001, hfRequireCTS), ecBadArgument);
  EXPECT_EQ(d.SetHWFlowOptions(5000, 10, hfRequireCTS), ecBadArgument);  // above InSize
  EXPECT_EQ(d.Line().SetComStateCalls(), writes);
  EXPECT_EQ(d.Line().DeviceSettings(), before);

  EXPECT_EQ(d.SetHWFlowOptions(3072, 1024, hfUseRTS | hfRequireCTS | hfRequireDSR), 0);
  TDCB now = d.Line().DeviceSettings();
  EXPECT_EQ(now.XoffLim, 1024);
  EXPECT_EQ(now.XonLim, 1024);
  EXPECT_EQ(now.fRtsControl, 2);
  EXPECT_EQ(now.fDtrControl, 1);
  EXPECT_TRUE(now.fOutxCtsFlow);
  EXPECT_TRUE(now.fOutxDsrFlow);
  std::uint32_t hw = 0;
  std::uint32_t sw = 0;
  char xon = 0;
  char xoff = 0;
  EXPECT_EQ(d.GetFlowOptions(hw, sw, xon, xoff), 0);
  EXPECT_EQ(hw, hfUseRTS | hfRequireCTS | hfRequireDSR);
  EXPECT_EQ(sw, 0u);

  EXPECT_EQ(d.SetHWFlowOptions(3072, 1024, 0), 0);
  now = d.Line().DeviceSettings();
  EXPECT_FALSE(now.fOutxCtsFlow);
  EXPECT_EQ(now.fRtsControl, 1);
  EXPECT_EQ(d.SetRTS(false), 0);  // no longer automatic
}

TEST_F(LineControl, SoftwareFlowOptionsAndCharacters) {
  EXPECT_EQ(d.SetSWFlowOptions(3072, 4000, sfReceiveFlow), ecBadArgument);
  EXPECT_EQ(d.SetSWFlowOptions(3072, 1024, sfReceiveFlow | sfTransmitFlow), 0);
  TDCB now = d.Line().DeviceSettings();
  EXPECT_TRUE(now.fInX);
  EXPECT_TRUE(now.fOutX);
  EXPECT_EQ(now.XoffLim, 1024);
  EXPECT_EQ(now.XonChar, 0x11);
  EXPECT_EQ(d.SetFlowChars('A', 'B'), 0);
  std::uint32_t hw = 0;
  std::uint32_t sw = 0;
  char xon = 0;
  char xoff = 0;
  d.GetFlowOptions(hw, sw, xon, xoff);
  EXPECT_EQ(sw, sfReceiveFlow | sfTransmitFlow);
  EXPECT_EQ(xon, 'A');
  EXPECT_EQ(xoff, 'B');
  EXPECT_EQ(d.ClearSWFlowOptions(), 0);
  now = d.Line().DeviceSettings();
  EXPECT_FALSE(now.fInX);
  EXPECT_FALSE(now.fOutX);
}

TEST_F(LineControl, ModemLinesAndStickyChangeBits) {
  // The scripted device starts with CTS and DSR on.
  EXPECT_TRUE(d.CheckCTS());
  EXPECT_TRUE(d.CheckDSR());
  EXPECT_FALSE(d.CheckDCD());
  EXPECT_FALSE(d.CheckRI());
  d.Line().SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
  d.Line().SetModemLines(MS_CTS_ON | MS_DSR_ON);  // the ring ends
  ASSERT_TRUE(PumpUntil([&] { return d.CheckRI(); }));
  EXPECT_FALSE(d.CheckRI());  // once per ring
  d.Line().SetModemLines(MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(PumpUntil([&] { return d.CheckDCD(); }));
  EXPECT_FALSE(d.CheckCTS());
}

TEST_F(LineControl, LineErrorPrioritiesAndTheStickyBreak) {
  // The errors reach the word when a pass or an output query refreshes it.
  std::int32_t got = leNoError;
  const auto firstError = [&] {
    return PumpUntil([&] {
      d.OutBuffUsed();
      got = d.GetLineError();
      return got != leNoError;
    });
  };
  d.Line().RaiseLineError(CE_OVERRUN | CE_FRAME);
  ASSERT_TRUE(firstError());
  EXPECT_EQ(got, leOverrun);
  EXPECT_EQ(d.GetLineError(), leNoError);  // the framing bit went with the first answer

  d.Line().RaiseLineError(CE_BREAK);
  ASSERT_TRUE(firstError());
  EXPECT_EQ(got, leBreak);
  EXPECT_EQ(d.GetLineError(), leBreak);  // stays until CheckLineBreak
  const std::uint8_t byte = 0;
  EXPECT_EQ(d.PutBlock(&byte, 1), 0);  // a write's fresh error word adds, never replaces
  EXPECT_EQ(d.GetLineError(), leBreak);
  d.Line().RaiseLineError(CE_RXPARITY);
  ASSERT_TRUE(PumpUntil([&] {
    d.OutBuffUsed();
    got = d.GetLineError();
    return got != leBreak;
  }));
  EXPECT_EQ(got, leParity);
  EXPECT_EQ(d.GetLineError(), leBreak);
  EXPECT_TRUE(d.CheckLineBreak());
  EXPECT_FALSE(d.CheckLineBreak());
  EXPECT_EQ(d.GetLineError(), leNoError);

  d.Line().RaiseLineError(CE_RXOVER | CE_BREAK);
  ASSERT_TRUE(firstError());
  EXPECT_EQ(got, leBuffer);
  EXPECT_TRUE(d.CheckLineBreak());
}

TEST(LineControlOpen, FailuresCloseWhatWasOpened) {
  ScriptedDevice denied;
  denied.Line().FailOpen(-1, 5);
  EXPECT_EQ(denied.Open(), ecAccessDenied);
  EXPECT_FALSE(denied.Started());
  ScriptedDevice memory;
  memory.Line().FailOpen(ecOutOfMemory, 0);
  EXPECT_EQ(memory.Open(), ecOutOfMemory);
  ScriptedDevice silent;
  silent.Line().FailOpen(-1, 0);  // no reason given: still a failure
  EXPECT_EQ(silent.Open(), ecCommNotOpen);
  ScriptedDevice badLine;
  badLine.Line().FailSetComState(-87);
  EXPECT_EQ(badLine.Open(), -87);
  EXPECT_FALSE(badLine.DeviceOpen());
  EXPECT_FALSE(badLine.Started());
}

TEST(LineControlOpen, OptionsChooseHandshakeOrLevels) {
  ScriptedDevice d;
  ASSERT_EQ(d.Open(38400, 4096, 4096, ipAutoDTR | ipAssertRTS), 0);
  EXPECT_EQ(d.SetDTR(false), 1);
  EXPECT_EQ(d.SetRTS(false), 0);
  d.DonePort();
}

}  // namespace
}  // namespace velmora::serial
