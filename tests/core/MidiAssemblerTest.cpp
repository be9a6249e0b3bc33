#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/Bridge.h"
#include "core/MidiAssembler.h"

using velmora::core::MidiAssembler;

namespace {

// Records every message and dropped run as hex text: "M:903C64" or "D:3C".
struct Recorder final : MidiAssembler::Sink {
  std::vector<std::string> out;
  void OnMessage(const std::uint8_t* b, std::size_t n) override {
    out.push_back("M:" + velmora::core::UnspacedHex(b, n));
  }
  void OnDropped(const std::uint8_t* b, std::size_t n) override {
    out.push_back("D:" + velmora::core::UnspacedHex(b, n));
  }
  void OnTooLong(std::size_t n) override { out.push_back("L:" + std::to_string(n)); }
};

std::vector<std::string> assemble(std::initializer_list<std::uint8_t> bytes) {
  MidiAssembler assembler;
  Recorder recorder;
  for (auto b : bytes) assembler.Feed(b, recorder);
  return recorder.out;
}

using Out = std::vector<std::string>;

}  // namespace

TEST(MidiAssembler, ChannelMessagesAndRunningStatus) {
  EXPECT_EQ(assemble({0x90, 0x3C, 0x64}), Out{"M:903C64"});
  EXPECT_EQ(assemble({0x90, 0x3C, 0x64, 0x40, 0x7F, 0x43, 0x00}),
            (Out{"M:903C64", "M:90407F", "M:904300"}));
  EXPECT_EQ(assemble({0xC5, 0x07, 0x08, 0xD0, 0x10}), (Out{"M:C507", "M:C508", "M:D010"}));
  EXPECT_EQ(assemble({0xE0, 0x00, 0x40}), Out{"M:E00040"});
}

TEST(MidiAssembler, RealTimeBytesGoOutAtOnceWithoutDisturbingAMessage) {
  EXPECT_EQ(assemble({0x90, 0x3C, 0xF8, 0x64}), (Out{"M:F8", "M:903C64"}));
  EXPECT_EQ(assemble({0xF0, 0x7E, 0xFE, 0x01, 0xF7}), (Out{"M:FE", "M:F07E01F7"}));
  EXPECT_EQ(assemble({0xFA, 0xFC, 0xFF}), (Out{"M:FA", "M:FC", "M:FF"}));
}

TEST(MidiAssembler, SystemCommonTakesItsDataAndCancelsRunningStatus) {
  EXPECT_EQ(assemble({0xF2, 0x10, 0x20}), Out{"M:F21020"});
  EXPECT_EQ(assemble({0xF1, 0x33, 0xF3, 0x05, 0xF6}), (Out{"M:F133", "M:F305", "M:F6"}));
  EXPECT_EQ(assemble({0x90, 0x3C, 0x64, 0xF6, 0x3C, 0x64}),
            (Out{"M:903C64", "M:F6", "D:3C", "D:64"}));
}

TEST(MidiAssembler, UndefinedStatusGoesAloneAndItsDataIsDropped) {
  // A "To Host" synthesizer selects its part group with F5 nn.
  EXPECT_EQ(assemble({0xF5, 0x02, 0x90, 0x3C, 0x64}), (Out{"M:F5", "D:02", "M:903C64"}));
  EXPECT_EQ(assemble({0xF4, 0x01, 0x02}), (Out{"M:F4", "D:01", "D:02"}));
  EXPECT_EQ(assemble({0xF7}), Out{"D:F7"});
}

TEST(MidiAssembler, StrayDataAfterPowerUpIsDropped) {
  EXPECT_EQ(assemble({0x3C, 0x64, 0x80, 0x3C, 0x00}), (Out{"D:3C", "D:64", "M:803C00"}));
}

TEST(MidiAssembler, SysexSplitOverManyPacketsArrivesWhole) {
  MidiAssembler assembler;
  Recorder recorder;
  std::vector<std::uint8_t> block{0xF0};
  for (int i = 0; i < 998; ++i) block.push_back(static_cast<std::uint8_t>(i & 0x7F));
  block.push_back(0xF7);
  for (std::size_t at = 0; at < block.size(); at += 7) {
    assembler.Feed(block.data() + at, std::min<std::size_t>(7, block.size() - at), recorder);
  }
  ASSERT_EQ(recorder.out.size(), 1u);
  EXPECT_EQ(recorder.out[0], "M:" + velmora::core::UnspacedHex(block.data(), block.size()));
}

TEST(MidiAssembler, AnInterruptedSysexIsDroppedAndTheNewStatusStartsItsOwnMessage) {
  EXPECT_EQ(assemble({0xF0, 0x43, 0x10, 0x90, 0x3C, 0x64}), (Out{"D:F04310", "M:903C64"}));
  EXPECT_EQ(assemble({0x90, 0x3C, 0xC0, 0x05}), (Out{"D:903C", "M:C005"}));
}

TEST(MidiAssembler, ResetForgetsPartialMessagesAndRunningStatus) {
  MidiAssembler assembler;
  Recorder recorder;
  for (auto b : {0x90, 0x3C, 0x64, 0x40}) assembler.Feed(static_cast<std::uint8_t>(b), recorder);
  assembler.Reset();
  for (auto b : {0x7F, 0x90, 0x01, 0x02}) assembler.Feed(static_cast<std::uint8_t>(b), recorder);
  EXPECT_EQ(recorder.out, (Out{"M:903C64", "D:7F", "M:900102"}));
}

// A block longer than the output's largest event is told once with its length, however it
// ends, and nothing of it comes out; the longest that fits comes out whole.
TEST(MidiAssembler, SysexLongerThanTheLargestEventIsToldOnceWithItsLength) {
  const struct {
    std::size_t largest;
    std::size_t length;  // F0 and F7 included
    std::uint8_t end;
  } cases[] = {
      {MidiAssembler::kMaxSysex, MidiAssembler::kMaxSysex, 0xF7},
      {MidiAssembler::kMaxSysex, MidiAssembler::kMaxSysex + 1, 0xF7},
      {MidiAssembler::kMaxSysex, 70000, 0xF7},
      {100, 100, 0xF7},
      {100, 150, 0xF7},
      {100, 150, 0x90},  // ended by the next status instead of F7
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(std::to_string(test.largest) + " / " + std::to_string(test.length));
    MidiAssembler assembler;
    assembler.SetMaxSysex(test.largest);
    Recorder recorder;
    assembler.Feed(0xF0, recorder);
    for (std::size_t i = 2; i < test.length; ++i) assembler.Feed(0x01, recorder);
    assembler.Feed(0xF8, recorder);  // real time inside is no part of it
    assembler.Feed(test.end, recorder);
    const bool fits = test.length <= test.largest;
    const std::size_t counted = test.end == 0xF7 ? test.length : test.length - 1;
    ASSERT_EQ(recorder.out.size(), 2u);
    EXPECT_EQ(recorder.out[0], "M:F8");
    if (fits) {
      EXPECT_EQ(recorder.out[1].size(), 2 + 2 * test.length);
    } else {
      EXPECT_EQ(recorder.out[1], "L:" + std::to_string(counted));
    }
    // The stream goes on as before.
    assembler.Feed(0xF6, recorder);
    EXPECT_EQ(recorder.out.back(), "M:F6");
  }
}

TEST(MidiAssembler, AMillionRandomBytesGiveOnlyWellFormedMessages) {
  struct Checker final : MidiAssembler::Sink {
    std::size_t messages = 0;
    std::size_t dropped = 0;
    void OnMessage(const std::uint8_t* b, std::size_t n) override {
      ++messages;
      ASSERT_GE(n, 1u);
      const std::uint8_t status = b[0];
      ASSERT_GE(status, 0x80);
      if (status == 0xF0) {
        ASSERT_GE(n, 2u);
        ASSERT_EQ(b[n - 1], 0xF7);
        for (std::size_t i = 1; i + 1 < n; ++i) ASSERT_LT(b[i], 0x80);
        return;
      }
      std::size_t expected = 3;
      if (status >= 0xF8 || status == 0xF6 || status == 0xF4 || status == 0xF5) {
        expected = 1;
      } else if ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 || status == 0xF1 ||
                 status == 0xF3) {
        expected = 2;
      }
      ASSERT_NE(status, 0xF7);
      ASSERT_EQ(n, expected);
      for (std::size_t i = 1; i < n; ++i) ASSERT_LT(b[i], 0x80);
    }
    void OnDropped(const std::uint8_t*, std::size_t n) override { dropped += n; }
    void OnTooLong(std::size_t) override { ADD_FAILURE() << "no block that long"; }
  };
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  MidiAssembler assembler;
  Checker checker;
  for (int i = 0; i < 1'000'000; ++i) {
    assembler.Feed(static_cast<std::uint8_t>(byte(random)), checker);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(checker.messages, 100'000u);
  EXPECT_GT(checker.dropped, 0u);
}
