// The main window's MIDI input handler with its log lines, on the headless window and a bridge
// whose port is an in-memory double.

#include <benchmark/benchmark.h>

#include <stdexcept>

#include "core/Bridge.h"
#include "core/WindowModel.h"
#include "ui/MainWindowHandlers.h"

namespace {

using namespace velmora;

// Takes every block and forgets it.
class NullPort final : public core::ComPortDevice {
 public:
  std::uint16_t ComNumber() const override { return number_; }
  void SetComNumber(std::uint16_t n) override { number_ = n; }
  std::int32_t Baud() const override { return baud_; }
  void SetBaud(std::int32_t b) override { baud_ = b; }
  std::uint16_t DataBits() const override { return 8; }
  std::uint16_t StopBits() const override { return 1; }
  serial::TParity Parity() const override { return serial::TParity::pNone; }
  serial::THWFlowOptionSet HWFlowOptions() const override { return 0; }
  serial::TSWFlowOptions SWFlowOptions() const override { return serial::TSWFlowOptions::swfNone; }
  bool Open() const override { return open_; }
  void SetOpen(bool open) override { open_ = open; }
  std::uint16_t OutBuffFree() override { return 4096; }
  void PutBlock(const std::uint8_t* bytes, std::uint16_t count) override {
    benchmark::DoNotOptimize(bytes);
    written += count;
  }
  std::size_t written = 0;

 private:
  std::uint16_t number_ = 1;
  std::int32_t baud_ = 38400;
  bool open_ = false;
};

// Only the port exists; the bridge skips the absent devices.
class PortOnlyFactory final : public core::DeviceFactory {
 public:
  std::unique_ptr<core::ComPortDevice> CreateComPort() override {
    return std::make_unique<NullPort>();
  }
  std::unique_ptr<core::DataPacketDevice> CreateDataPacket() override { throw absent(); }
  std::unique_ptr<core::LightControllerDevice> CreateSLController() override { throw absent(); }
  std::unique_ptr<core::MidiInputDevice> CreateMidiInput() override { throw absent(); }
  std::unique_ptr<core::MidiOutputDevice> CreateMidiOutput() override { throw absent(); }
  std::unique_ptr<core::PortProbe> CreatePortProbe() override { throw absent(); }

 private:
  static std::runtime_error absent() { return std::runtime_error("absent"); }
};

void BM_HandleMidiEvent(benchmark::State& state) {
  PortOnlyFactory factory;
  core::Bridge bridge(factory);
  core::WindowModel window;
  ui::TfmMain form(bridge, window);
  bridge.OpenComPort();
  if (!bridge.ComPortOpened) state.SkipWithError("the port double did not open");
  midi::TMyMidiEvent event;
  event.StatusByte = static_cast<std::uint8_t>(state.range(0));
  event.FirstDataByte = 0x3C;
  event.SecondDataByte = 0x64;
  for (auto _ : state) form.HandleMidiEvent(event);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleMidiEvent)->Arg(0x90)->Arg(0xC5);

// The serial side of the form: a Note On in one-byte packets, assembled and logged with its
// "[Midi-Out]" and "[Com-Rx]" lines (the MIDI output is absent, so nothing is sent).
void BM_DoPacketNoteOn(benchmark::State& state) {
  PortOnlyFactory factory;
  core::Bridge bridge(factory);
  core::WindowModel window;
  ui::TfmMain form(bridge, window);
  const std::uint8_t note[3] = {0x90, 0x3C, 0x64};
  for (auto _ : state) {
    for (const std::uint8_t& byte : note) form.DoPacket(&byte, 1);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = messages");
}
BENCHMARK(BM_DoPacketNoteOn);

}  // namespace
