// The assembler on the serial path: whatever arrives, every message it gives is one well-formed
// MIDI message, and nothing it is given comes out twice.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/MidiAssembler.h"
#include "platform/midi/MidiService.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using velmora::core::MidiAssembler;

class CheckingSink : public MidiAssembler::Sink {
 public:
  void OnMessage(const std::uint8_t* bytes, std::size_t count) override {
    if (count == 0 || bytes[0] < 0x80) VELMORA_FUZZ_FAIL();
    const std::uint8_t status = bytes[0];
    if (status == 0xF0) {
      if (count < 2 || count > MidiAssembler::kMaxSysex || bytes[count - 1] != 0xF7)
        VELMORA_FUZZ_FAIL();
      for (std::size_t k = 1; k + 1 < count; ++k) {
        if (bytes[k] >= 0x80) VELMORA_FUZZ_FAIL();
      }
      delivered += count - 2;
      return;
    }
    if (status == 0xF7) VELMORA_FUZZ_FAIL();
    if (count != velmora::platform::midi::ShortMessageLength(status)) VELMORA_FUZZ_FAIL();
    for (std::size_t k = 1; k < count; ++k) {
      if (bytes[k] >= 0x80) VELMORA_FUZZ_FAIL();
    }
    delivered += count - 1;
  }
  void OnDropped(const std::uint8_t* bytes, std::size_t count) override {
    if (count == 0 || bytes == nullptr) VELMORA_FUZZ_FAIL();
    for (std::size_t k = 0; k < count; ++k) dropped += bytes[k] < 0x80 ? 1 : 0;
  }
  void OnTooLong(std::size_t count) override {
    if (count <= MidiAssembler::kMaxSysex) VELMORA_FUZZ_FAIL();
    tooLong += count;
  }

  std::size_t delivered = 0;  // data bytes inside messages
  std::size_t dropped = 0;    // data bytes dropped
  std::size_t tooLong = 0;    // bytes of blocks too long, their F0 and end included
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::FuzzInput in(data, size);
  MidiAssembler assembler;
  CheckingSink sink;
  std::size_t dataBytes = 0;
  // The first byte chooses how the stream is cut into blocks, as serial reads cut it.
  const std::uint8_t mode = in.Byte();
  while (!in.Done()) {
    const auto block = in.Block(mode & 0x80 ? 4096 : 16);
    for (std::uint8_t b : block) dataBytes += b < 0x80 ? 1 : 0;
    if (mode & 1) {
      for (std::uint8_t b : block) assembler.Feed(b, sink);
    } else {
      assembler.Feed(block.data(), block.size(), sink);
    }
    if ((mode & 2) && in.Bool()) assembler.Reset();
  }
  // A data byte is either inside one message or dropped, never both and never twice.
  if (sink.delivered + sink.dropped > dataBytes) VELMORA_FUZZ_FAIL();
  return 0;
}
