#include "core/HeldNotes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using velmora::core::HeldNotes;
using Messages = std::vector<HeldNotes::Message>;

struct Case {
  const char* name;
  Messages sent;
  Messages offs;  // what TakeNoteOffs gives afterwards
};

class HeldNotesCases : public ::testing::TestWithParam<Case> {};

TEST_P(HeldNotesCases, GiveTheNoteOffOfEachNoteStillOn) {
  HeldNotes held;
  for (const auto& message : GetParam().sent) held.Sent(message.data(), message.size());
  EXPECT_EQ(held.Empty(), GetParam().offs.empty());
  EXPECT_EQ(held.TakeNoteOffs(), GetParam().offs);
  EXPECT_TRUE(held.Empty());
  EXPECT_TRUE(held.TakeNoteOffs().empty()) << "taken notes are forgotten";
}

INSTANTIATE_TEST_SUITE_P(
    , HeldNotesCases,
    ::testing::Values(
        Case{"NoteOn", {{0x90, 0x3C, 0x64}}, {{0x80, 0x3C, 0x40}}},
        Case{"NoteOff", {{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}}, {}},
        Case{"VelocityZero", {{0x91, 0x3C, 0x64}, {0x91, 0x3C, 0x00}}, {}},
        Case{"ChannelsApart",
             {{0x90, 0x3C, 0x64}, {0x9F, 0x3C, 0x64}, {0x80, 0x3E, 0x00}},
             {{0x80, 0x3C, 0x40}, {0x8F, 0x3C, 0x40}}},
        Case{"RepeatedNoteOnOnce", {{0x92, 0x40, 0x10}, {0x92, 0x40, 0x20}}, {{0x82, 0x40, 0x40}}},
        Case{"AllNotesOff",
             {{0x90, 0x3C, 0x64}, {0x91, 0x3C, 0x64}, {0xB0, 123, 0x00}},
             {{0x81, 0x3C, 0x40}}},
        Case{"AllSoundOff", {{0x93, 0x01, 0x64}, {0xB3, 120, 0x00}}, {}},
        Case{"OtherMessages", {{0xB0, 0x07, 0x64}, {0xE0, 0x00, 0x40}, {0xA0, 0x3C, 0x10}}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeldNotes, ShortOrMissingMessagesChangeNothing) {
  HeldNotes held;
  const std::uint8_t status[] = {0x90};
  held.Sent(status, 1);
  held.Sent(nullptr, 3);
  EXPECT_TRUE(held.Empty());
  const std::uint8_t on[] = {0x90, 0x3C, 0x64};
  held.Sent(on, 3);
  held.Clear();
  EXPECT_TRUE(held.Empty());
}

}  // namespace
