#include "core/SerialTextFrames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::core {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Collected final : SerialTextFrames::Sink {
  Bytes midi;
  std::vector<std::string> texts;
  void OnBytes(const std::uint8_t* bytes, std::size_t count) override {
    midi.insert(midi.end(), bytes, bytes + count);
  }
  void OnText(const std::uint8_t* text, std::size_t count) override {
    texts.emplace_back(text, text + count);
  }
};

TEST(SerialTextFrames, FramesBecomeTextAndEverythingElseGoesOnInOrder) {
  const struct {
    const char* what;
    std::vector<Bytes> feeds;  // as the port delivers them
    Bytes midi;
    std::vector<std::string> texts;
  } cases[] = {
      {"plain MIDI", {{0x90, 0x3C, 0x64, 0xFE}}, {0x90, 0x3C, 0x64, 0xFE}, {}},
      {"a frame", {{0xFF, 0x00, 0x00, 0x02, 'o', 'k'}}, {}, {"ok"}},
      {"a frame inside running status",
       {{0x90, 0x3C, 0x64, 0xFF, 0x00, 0x00, 0x01, 'a', 0x3E, 0x64}},
       {0x90, 0x3C, 0x64, 0x3E, 0x64},
       {"a"}},
      {"a frame split across reads",
       {{0x90, 0x3C, 0xFF}, {0x00}, {0x00, 0x03, 'a'}, {'b', 'c', 0x64}},
       {0x90, 0x3C, 0x64},
       {"abc"}},
      {"a header cut short is a System Reset",
       {{0xFF, 0x00, 0x90, 0x3C}, {0x64}},
       {0xFF, 0x00, 0x90, 0x3C, 0x64},
       {}},
      {"a reset before a frame", {{0xFF, 0xFF, 0x00, 0x00, 0x00}}, {0xFF}, {""}},
      {"text bytes that look like MIDI",
       {{0xFF, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x90, 0xF8}},
       {0xF8},
       {std::string("\xFF\x00\x90", 3)}},
  };
  for (const auto& c : cases) {
    SerialTextFrames frames;
    Collected sink;
    for (const Bytes& feed : c.feeds) frames.Feed(feed.data(), feed.size(), sink);
    EXPECT_EQ(sink.midi, c.midi) << c.what;
    EXPECT_EQ(sink.texts, c.texts) << c.what;
  }
}

TEST(SerialTextFrames, AFrameCutByAResetIsDroppedAndMidiFollows) {
  SerialTextFrames frames;
  Collected sink;
  const Bytes begun{0xFF, 0x00, 0x00, 0x09, 'h', 'a'};
  frames.Feed(begun.data(), begun.size(), sink);
  frames.Reset();
  const Bytes after{0x80, 0x3C, 0x00};
  frames.Feed(after.data(), after.size(), sink);
  EXPECT_EQ(sink.midi, after);
  EXPECT_TRUE(sink.texts.empty());
}

TEST(SerialTextFrames, TextIsShownWithoutItsLineEndAndWithoutControlOrBrokenBytes) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"tempo=120\r\n", "tempo=120"},
      {"a\tb", "a b"},
      {"d\xC3\xA9j\xC3\xA0", "d\xC3\xA9j\xC3\xA0"},
      {"x\xC3", "x?"},
      {"\x80y", "?y"},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.text.data());
    EXPECT_EQ(FrameText(bytes, c.text.size()), c.shown) << c.text;
  }
}

}  // namespace
}  // namespace velmora::core
