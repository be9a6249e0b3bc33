// The assembler that turns the serial byte stream into whole MIDI messages.

#include <benchmark/benchmark.h>

#include <vector>

#include "core/MidiAssembler.h"

namespace {

using velmora::core::MidiAssembler;

struct CountingSink final : MidiAssembler::Sink {
  std::size_t messages = 0, dropped = 0;
  void OnMessage(const std::uint8_t*, std::size_t count) override { messages += count; }
  void OnDropped(const std::uint8_t*, std::size_t count) override { dropped += count; }
  void OnTooLong(std::size_t count) override { dropped += count; }
};

// One byte at a time, as one-byte packets bring them: Note On messages.
void BM_AssemblerOneByteAtATime(benchmark::State& state) {
  MidiAssembler assembler;
  CountingSink sink;
  const std::uint8_t note[3] = {0x90, 0x3C, 0x64};
  for (auto _ : state) {
    for (std::uint8_t byte : note) assembler.Feed(byte, sink);
  }
  benchmark::DoNotOptimize(sink.messages);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = messages");
}
BENCHMARK(BM_AssemblerOneByteAtATime);

// A block of running-status messages with real-time bytes mixed in.
void BM_AssemblerBlock(benchmark::State& state) {
  std::vector<std::uint8_t> block;
  block.push_back(0x90);
  for (int i = 0; i < 256; ++i) {
    block.push_back(static_cast<std::uint8_t>(i & 0x7F));
    if (i % 16 == 0) block.push_back(0xF8);
    block.push_back(0x40);
  }
  MidiAssembler assembler;
  CountingSink sink;
  for (auto _ : state) assembler.Feed(block.data(), block.size(), sink);
  benchmark::DoNotOptimize(sink.messages);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}
BENCHMARK(BM_AssemblerBlock);

}  // namespace
