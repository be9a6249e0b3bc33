// The packet engine on one-byte packets, as the bridge configures it: bytes handed to the
// manager on the UI thread, one OnPacket per byte.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "platform/MessagePump.h"
#include "platform/serial/SerialNames.h"
#include "serial/ComPort.h"
#include "serial/PacketEngine.h"
#include "support/Pty.h"

namespace {

using namespace velmora;
namespace fs = std::filesystem;

// COM1 is the pseudo-terminal, through a name space of our own.
struct PortOnPty {
  bench::Pty pty;
  fs::path dir;
  serial::TApdComPort port;
  serial::TApdDataPacket packet;

  PortOnPty() {
    dir = fs::temp_directory_path() / ("velmora-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "dev");
    fs::remove(dir / "dev/ttyV0");
    fs::create_symlink(pty.slavePath(), dir / "dev/ttyV0");
    port.DispatcherFactory =
        serial::PlatformDispatcherFactory(platform::SerialNameSpace({dir / "dev", dir / "sys"}));
    port.SetComNumber(1);
    port.SetBaud(38400);
    packet.SetComPort(&port);
    packet.SetEndCond(serial::ecPacketSize);
    packet.SetPacketSize(1);
    packet.SetStartCond(serial::TPacketStartCond::scAnyData);
    packet.SetTimeOut(0);
    packet.SetAutoEnable(true);
    packet.SetEnabled(true);
    port.SetOpen(true);
  }
  ~PortOnPty() {
    port.SetOpen(false);
    packet.SetEnabled(false);
    packet.SetComPort(nullptr);
    for (int i = 0; i < 100 && serial::PacketManagerList().Count() > 0; ++i) {
      platform::MessagePump::current().processMessages();
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

void BM_PacketOneBytePackets(benchmark::State& state) {
  PortOnPty fixture;
  std::int64_t delivered = 0;
  fixture.packet.OnPacket = [&](serial::TApdDataPacket&, const std::uint8_t* data,
                                std::int32_t size) {
    benchmark::DoNotOptimize(data);
    delivered += size;
  };
  auto* manager = fixture.packet.Manager();
  if (!manager) return state.SkipWithError("no packet manager");
  const std::vector<std::uint8_t> block(static_cast<std::size_t>(state.range(0)), 0x90);
  for (auto _ : state) manager->Receive(block.data(), block.size());
  if (delivered != state.iterations() * state.range(0)) {
    state.SkipWithError("packets were lost");
  }
  state.SetItemsProcessed(delivered);
  state.SetLabel("items = packets");
}
BENCHMARK(BM_PacketOneBytePackets)->Arg(1)->Arg(3)->Arg(64);

}  // namespace
