// The Win32 driver on a pseudo-terminal that Wine maps as COM5. COM6 is the far end: socat
// joins the two terminals (com-pty.sh), and the test drives COM6 with plain blocking I/O.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PacketEngine.h"
#include "support/Wait.h"

// Last: its macros take names that the serial layer's headers use.
#include <windows.h>

namespace velmora::serial {
namespace {

// Closes its handle whatever happens.
struct FarEnd {
  HANDLE handle = CreateFileA("\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ~FarEnd() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  std::vector<std::uint8_t> read(DWORD count) const {
    std::vector<std::uint8_t> bytes(count);
    DWORD total = 0;
    while (total < count) {
      DWORD got = 0;
      if (!ReadFile(handle, bytes.data() + total, count - total, &got, nullptr)) break;
      total += got;
    }
    bytes.resize(total);
    return bytes;
  }
  bool write(const std::vector<std::uint8_t>& bytes) const {
    DWORD put = 0;
    return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
  }
};

// Wine takes 31250 but reads 38400 back from a pseudo-terminal: the bytes flow all the same.
TEST(Win32DriverOnPty, CarriesBytesBothWaysAtTheUsualRates) {
  for (const std::int32_t baud : {38400, 31250}) {
    SCOPED_TRACE(baud);
    TApdComPort port;
    port.SetComNumber(5);
    port.SetBaud(baud);
    std::vector<std::uint8_t> received;
    TApdDataPacket packet;
    packet.OnPacket = [&](TApdDataPacket&, const std::uint8_t* data, std::int32_t size) {
      received.insert(received.end(), data, data + size);
    };
    packet.SetComPort(&port);
    packet.SetEndCond(ecPacketSize);
    packet.SetPacketSize(1);
    packet.SetStartCond(TPacketStartCond::scAnyData);
    packet.SetTimeOut(0);
    packet.SetEnabled(true);
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());

    const FarEnd farEnd;
    ASSERT_NE(farEnd.handle, INVALID_HANDLE_VALUE) << GetLastError();
    const std::vector<std::uint8_t> out = {0x90, 0x3C, 0x64, 0xF8};
    ASSERT_EQ(port.PutBlock(out.data(), static_cast<std::uint16_t>(out.size())), 0);
    EXPECT_EQ(farEnd.read(static_cast<DWORD>(out.size())), out);

    const std::vector<std::uint8_t> in = {0x80, 0x3C, 0x00, 0xFE, 0x0A};
    ASSERT_TRUE(farEnd.write(in));
    EXPECT_TRUE(velmora::testing::PumpUntil([&] { return received.size() >= in.size(); }));
    EXPECT_EQ(received, in);

    packet.SetEnabled(false);
    packet.SetComPort(nullptr);
    port.SetOpen(false);
  }
}

}  // namespace
}  // namespace velmora::serial
