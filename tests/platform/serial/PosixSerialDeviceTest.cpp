#include <gtest/gtest.h>

#include "platform/serial/PosixSerialDevice.h"
#include "platform/serial/SerialError.h"
#include "support/PtyPair.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using velmora::platform::PosixSerialDevice;
using velmora::platform::SerialLineSettings;
using velmora::platform::SerialParity;
using velmora::platform::SerialStopBits;
using velmora::platform::SerialWaker;
using velmora::testing::PtyPair;
using velmora::testing::WaitUntil;
namespace platform = velmora::platform;

namespace {

std::vector<std::uint8_t> readAll(const PosixSerialDevice& device, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  WaitUntil([&] {
    std::uint8_t buffer[256];
    const long n = device.Read(buffer, sizeof buffer);
    if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    return bytes.size() >= count;
  });
  return bytes;
}

}  // namespace

TEST(PosixSerialDevice, OpensRawAndMovesBytesBothWays) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  const auto t = pty.termios();
  EXPECT_TRUE(t.raw);
  EXPECT_TRUE(t.vminZero);
  EXPECT_TRUE(t.vtimeZero);

  // Nothing has arrived: a read does not wait.
  std::uint8_t byte;
  EXPECT_EQ(device.Read(&byte, 1), 0);

  pty.write({0x90, 0x3C, 0x0A, 0x0D, 0x03});  // line endings and ^C pass untouched
  EXPECT_EQ(readAll(device, 5), (std::vector<std::uint8_t>{0x90, 0x3C, 0x0A, 0x0D, 0x03}));

  const std::uint8_t out[] = {0xF8, 0x0A, 0x80};
  EXPECT_EQ(device.Write(out, sizeof out), 3);
  EXPECT_EQ(pty.read(3), (std::vector<std::uint8_t>{0xF8, 0x0A, 0x80}));
}

TEST(PosixSerialDevice, RestoresTheSettingsFoundAtOpen) {
  PtyPair pty;
  const auto before = pty.termios();
  {
    PosixSerialDevice device;
    ASSERT_EQ(device.Open(pty.slavePath()), 0);
    SerialLineSettings line;
    line.baud = 31250;
    ASSERT_EQ(device.ApplyLine(line), 0);
    EXPECT_EQ(pty.termios().ospeed, 31250u);
  }
  const auto after = pty.termios();
  EXPECT_EQ(after.cflag, before.cflag);
  EXPECT_EQ(after.lflag, before.lflag);
  EXPECT_EQ(after.iflag, before.iflag);
  EXPECT_EQ(after.ospeed, before.ospeed);
}

struct LineCase {
  std::uint32_t baud;
  std::uint8_t dataBits;
  SerialParity parity;
  SerialStopBits stopBits;
  bool rtsCts;
};

class PosixSerialLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PosixSerialLine, ReachesTheKernelAndReadsBack) {
  const LineCase c = GetParam();
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  SerialLineSettings line;
  line.baud = c.baud;
  line.dataBits = c.dataBits;
  line.parity = c.parity;
  line.stopBits = c.stopBits;
  line.rtsCtsFlow = c.rtsCts;
  ASSERT_EQ(device.ApplyLine(line), 0);

  // A pseudo-terminal keeps the rate, the stop bits and the flow flags, but forces eight data
  // bits without parity whatever it is told; the flag encoding is checked on its own below.
  const auto t = pty.termios();
  EXPECT_EQ(t.ospeed, c.baud);
  EXPECT_EQ(t.ispeed, c.baud);
  EXPECT_EQ(t.baudIsOther, c.baud == 31250);
  EXPECT_EQ(t.twoStopBits, c.stopBits != SerialStopBits::One);
  EXPECT_EQ(t.markSpace, c.parity == SerialParity::Mark || c.parity == SerialParity::Space);
  EXPECT_EQ(t.oddParity, c.parity == SerialParity::Odd || c.parity == SerialParity::Mark);
  EXPECT_EQ(t.rtsCts, c.rtsCts);

  platform::SerialTermiosFlags flags{0xFFFFFFFFu, 0};
  platform::EncodeLineFlags(line, flags);
  SerialLineSettings decoded;
  platform::DecodeLineFlags(flags, decoded);
  EXPECT_EQ(decoded.dataBits, c.dataBits);
  EXPECT_EQ(decoded.parity, c.parity);
  EXPECT_EQ(decoded.stopBits, c.stopBits);
  EXPECT_EQ(decoded.rtsCtsFlow, c.rtsCts);
}

TEST(PosixSerialDevice, EightNoneOneAt38400ReadsBackWhole) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  SerialLineSettings line;
  line.baud = 38400;
  line.xonXoffOut = true;
  line.xonXoffIn = true;
  ASSERT_EQ(device.ApplyLine(line), 0);
  const auto t = pty.termios();
  EXPECT_EQ(t.dataBits, 8);
  EXPECT_FALSE(t.parity);
  EXPECT_FALSE(t.twoStopBits);
  EXPECT_FALSE(t.baudIsOther);
  SerialLineSettings back;
  ASSERT_EQ(device.ReadLine(back), 0);
  EXPECT_EQ(back, line);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PosixSerialLine,
    ::testing::Values(LineCase{38400, 8, SerialParity::None, SerialStopBits::One, false},
                      LineCase{31250, 8, SerialParity::None, SerialStopBits::One, false},
                      LineCase{9600, 7, SerialParity::Even, SerialStopBits::Two, false},
                      LineCase{115200, 6, SerialParity::Odd, SerialStopBits::One, true},
                      LineCase{2400, 5, SerialParity::Mark, SerialStopBits::OneAndHalf, false},
                      LineCase{19200, 8, SerialParity::Space, SerialStopBits::Two, false}));

TEST(PosixSerialDevice, RefusesRatesAndSizesItCannotSet) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  SerialLineSettings line;
  line.baud = 0;  // would hang the line up
  EXPECT_EQ(device.ApplyLine(line), platform::kErrorInvalidParameter);
  line.baud = 9600;
  line.dataBits = 9;
  EXPECT_EQ(device.ApplyLine(line), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::LastSerialError(), platform::kErrorInvalidParameter);
}

TEST(PosixSerialDevice, SecondOpenIsAccessDeniedAndMissingIsNotFound) {
  PtyPair pty;
  PosixSerialDevice first;
  ASSERT_EQ(first.Open(pty.slavePath()), 0);
  PosixSerialDevice second;
  EXPECT_EQ(second.Open(pty.slavePath()), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::LastSerialError(), platform::kErrorAccessDenied);
  EXPECT_FALSE(second.IsOpen());

  first.Close();
  EXPECT_EQ(second.Open(pty.slavePath()), 0);  // free again once closed

  PosixSerialDevice missing;
  EXPECT_EQ(missing.Open("/dev/velmora-no-such-tty"), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::LastSerialError(), platform::kErrorFileNotFound);
  EXPECT_EQ(missing.Open(""), platform::kErrorFileNotFound);
  // A file that is not a terminal is no serial port either.
  EXPECT_EQ(missing.Open("/proc/self/status"), platform::kErrorFileNotFound);
}

TEST(PosixSerialDevice, ErrnoMapsToThePortCodes) {
  EXPECT_EQ(platform::SerialErrorFromErrno(ENOENT), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::SerialErrorFromErrno(ENODEV), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::SerialErrorFromErrno(EACCES), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::SerialErrorFromErrno(EBUSY), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::SerialErrorFromErrno(EWOULDBLOCK), platform::kErrorAccessDenied);
  EXPECT_EQ(platform::SerialErrorFromErrno(EIO), platform::kErrorIoDevice);
  EXPECT_EQ(platform::SerialErrorFromErrno(EMFILE), platform::kErrorTooManyOpenFiles);
}

TEST(PosixSerialDevice, PseudoTerminalAnswersNoModemLinesAndNoCounters) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  EXPECT_FALSE(device.Counters().has_value());
  EXPECT_NE(device.SetModemLines(platform::kModemDtr, 0), 0);
}

TEST(PosixSerialDevice, PurgeDiscardsWaitingInput) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  pty.write({1, 2, 3, 4});
  ASSERT_TRUE(WaitUntil([&] { return device.InputWaiting() >= 4; }));
  EXPECT_EQ(device.InputWaiting(), 4u);
  EXPECT_EQ(device.Purge(true, false), 0);
  EXPECT_EQ(device.InputWaiting(), 0u);
  std::uint8_t byte;
  EXPECT_EQ(device.Read(&byte, 1), 0);
}

TEST(PosixSerialDevice, WakerEndsAWaitAndHangupIsSeen) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  SerialWaker waker;
  ASSERT_TRUE(waker.valid());

  waker.signal();  // given before the wait: not lost
  auto result = PosixSerialDevice::Poll(device.fd(), true, false, &waker, 10000);
  EXPECT_TRUE(result.woken);
  EXPECT_FALSE(result.readable);
  waker.drain();

  pty.closeMaster();
  result = PosixSerialDevice::Poll(device.fd(), true, false, &waker, 10000);
  EXPECT_TRUE(result.hangup);
  EXPECT_FALSE(result.woken);
  std::uint8_t byte;
  EXPECT_LE(device.Read(&byte, 1), 0);  // never waits, never yields a byte
  device.Close();                       // closing a vanished device works
  EXPECT_FALSE(device.IsOpen());
}

TEST(PosixSerialDevice, OpenCloseCyclesLeakNoDescriptor) {
  PtyPair pty;
  const std::size_t before = velmora::testing::OpenDescriptorCount();
  for (int i = 0; i < 200; ++i) {
    PosixSerialDevice device;
    ASSERT_EQ(device.Open(pty.slavePath()), 0) << "cycle " << i;
    PosixSerialDevice refused;
    ASSERT_EQ(refused.Open(pty.slavePath()), platform::kErrorAccessDenied);
  }
  EXPECT_EQ(velmora::testing::OpenDescriptorCount(), before);
}

TEST(PosixSerialDevice, ArrivalWatchReportsEachArrivalOnceEvenWhenUntaken) {
  PtyPair pty;
  PosixSerialDevice device;
  ASSERT_EQ(device.Open(pty.slavePath()), 0);
  SerialWaker waker;
  platform::SerialArrivalWatch watch;
  ASSERT_EQ(watch.Attach(device.fd(), waker), 0);

  pty.write({1});
  EXPECT_TRUE(watch.Wait(10000).readable);
  // The byte is still there, but it was announced: no second report (this would spin).
  EXPECT_FALSE(watch.Wait(0).readable);
  pty.write({2});
  EXPECT_TRUE(watch.Wait(10000).readable);
  EXPECT_EQ(device.InputWaiting(), 2u);

  waker.signal();
  const auto woken = watch.Wait(10000);
  EXPECT_TRUE(woken.woken);
  EXPECT_FALSE(woken.readable);
  waker.drain();

  pty.closeMaster();
  EXPECT_TRUE(watch.Wait(10000).hangup);
}
