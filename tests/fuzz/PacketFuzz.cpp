// Random packet settings and random byte blocks through the packet engine of an open port: a
// packet never reaches beyond the bytes received, a string packet starts with its start string,
// and handlers that feed more bytes or disable the packet mid-event are survived.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/Errors.h"
#include "serial/PacketEngine.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

namespace vs = velmora::serial;
using velmora::testing::PumpUntil;
using velmora::testing::ScriptedFactory;
using velmora::testing::ScriptedLine;

// One open port for the whole run: opening starts the dispatcher's threads. Never destroyed:
// at exit the process's dispatcher list, made by the first open, would go before it.
vs::TApdComPort& Port() {
  static vs::TApdComPort* port = [] {
    auto instance = std::make_unique<vs::TApdComPort>();
    instance->DispatcherFactory = ScriptedFactory(std::make_shared<ScriptedLine>());
    instance->SetComNumber(2);
    instance->SetOpen(true);
    return instance.release();
  }();
  return *port;
}

std::string Pattern(velmora::fuzz::FuzzInput& in) {
  static constexpr char kAlphabet[] = {'A', 'b', 'B', '?', '\\', '\r', '\0', '\xF0'};
  std::string text(in.Byte() % 6, ' ');
  for (char& c : text) c = kAlphabet[in.Byte() % 8];
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::FuzzInput in(data, size);
  vs::TApdComPort& port = Port();
  auto packet = std::make_unique<vs::TApdDataPacket>();
  const std::uint8_t flags = in.Byte();
  packet->SetStartCond(flags & 1 ? vs::TPacketStartCond::scAnyData
                                 : vs::TPacketStartCond::scString);
  packet->SetEndCond(static_cast<vs::TPacketEndSet>((flags >> 1) & 3));
  packet->SetIgnoreCase(flags & 8);
  packet->SetIncludeStrings(flags & 16);
  packet->SetAutoEnable(flags & 32);
  const std::uint8_t reentry = flags >> 6;  // 1: handlers feed bytes; 2: they disable; 3: both
  packet->SetStartString(Pattern(in));
  packet->SetEndString(Pattern(in));
  const std::int32_t sizeChoice = in.Value<std::int32_t>();
  packet->SetPacketSize(in.Bool() ? sizeChoice : sizeChoice % 40);
  packet->SetTimeOut(0);

  std::size_t received = 0;
  const std::string start = packet->StartString();
  const bool byStartString = !(flags & 1);
  const std::vector<std::uint8_t> echo = in.Block(8);
  int feeds = 0;
  packet->OnPacket = [&](vs::TApdDataPacket& sender, const std::uint8_t* bytes,
                         std::int32_t count) {
    if (count < 0 || static_cast<std::size_t>(count) > received) VELMORA_FUZZ_FAIL();
    if (count > 0 && bytes == nullptr) VELMORA_FUZZ_FAIL();
    volatile std::uint8_t sum = 0;
    for (std::int32_t k = 0; k < count; ++k) sum = sum + bytes[k];  // reads every byte delivered
    if (byStartString && sender.IncludeStrings() && !start.empty()) {
      const vs::TPacketPattern pattern(start, sender.IgnoreCase());
      const std::size_t n = std::min(pattern.Length(), static_cast<std::size_t>(count));
      if (!pattern.MatchesPrefix(bytes, n, sender.IgnoreCase())) VELMORA_FUZZ_FAIL();
    }
    // A handler that feeds bytes on every packet would feed for ever: a few times only.
    if ((reentry & 1) && feeds < 16 && !echo.empty() && sender.Manager()) {
      ++feeds;
      received += echo.size();
      sender.Manager()->Receive(echo.data(), echo.size());
    }
    if ((reentry & 2) && (count & 1)) sender.SetEnabled(false);
  };

  packet->SetComPort(&port);
  try {
    packet->SetEnabled(true);
  } catch (const vs::EAPDException&) {
    // Invalid conditions are refused; the packet stays disabled.
    if (packet->Enabled()) VELMORA_FUZZ_FAIL();
  }
  while (!in.Done()) {
    const std::uint8_t op = in.Byte();
    if (op < 0xF0) {
      const auto block = in.Block(300);
      if (packet->Manager() != nullptr) {
        received += block.size();
        packet->Manager()->Receive(block.data(), block.size());
      }
    } else {
      try {
        packet->SetEnabled(op & 1);
      } catch (const vs::EAPDException&) {
      }
    }
  }
  packet->SetEnabled(false);
  packet->SetComPort(nullptr);
  packet.reset();
  if (!PumpUntil([] { return vs::PacketManagerList().Count() == 0; })) VELMORA_FUZZ_FAIL();
  return 0;
}
