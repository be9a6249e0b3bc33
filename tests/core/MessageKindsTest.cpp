#include "core/MessageKinds.h"

#include <gtest/gtest.h>

#include "midi/DriverCallback.h"

namespace velmora::core {
namespace {

using K = MessageKind;

TEST(MessageKinds, EachStatusHasItsKindAndTheUndefinedOnesNone) {
  const struct {
    std::uint8_t status;
    std::optional<MessageKind> kind;
  } cases[] = {{0x3C, std::nullopt}, {0x80, K::Channel},   {0xEF, K::Channel},
               {0xF0, K::Sysex},     {0xF1, K::Common},    {0xF2, K::Common},
               {0xF3, K::Common},    {0xF4, std::nullopt}, {0xF5, std::nullopt},
               {0xF6, K::Common},    {0xF8, K::Clock},     {0xF9, std::nullopt},
               {0xFA, K::Transport}, {0xFB, K::Transport}, {0xFC, K::Transport},
               {0xFD, std::nullopt}, {0xFE, K::Sensing},   {0xFF, K::Reset}};
  for (const auto& c : cases) EXPECT_EQ(KindOf(c.status), c.kind) << int(c.status);
}

TEST(MessageKinds, UndefinedStatusesPassOnlyWhenEveryKindIsChosen) {
  const MessageKinds most{K::Channel, K::Sysex, K::Common, K::Clock, K::Transport, K::Sensing};
  EXPECT_FALSE(most.Passes(0xF9));
  EXPECT_FALSE(most.Passes(0xFF));
  EXPECT_TRUE(most.Passes(0xFA));
  MessageKinds every = most;
  every.Set(K::Reset, true);
  EXPECT_EQ(every, MessageKinds::All());
  EXPECT_TRUE(every.Passes(0xF9));
  EXPECT_FALSE(MessageKinds::None().Passes(0x90));
}

TEST(MessageKinds, ParsesNamesInAnyCaseAndTellsTheFirstBadWord) {
  const struct {
    const char* text;
    std::optional<MessageKinds> kinds;
    const char* bad;
  } cases[] = {
      {"channel", MessageKinds{K::Channel}, ""},
      {" Clock , TRANSPORT", MessageKinds{K::Clock, K::Transport}, ""},
      {"all", MessageKinds::All(), ""},
      {"none", MessageKinds::None(), ""},
      {"none,sysex", MessageKinds{K::Sysex}, ""},
      {"channel,sysex,common,clock,transport,sensing,reset", MessageKinds::All(), ""},
      {"clock,tick,song", std::nullopt, "tick"},
      {"", std::nullopt, ""},
      {"clock,", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    std::string bad = "unset";
    EXPECT_EQ(ParseMessageKinds(c.text, bad), c.kinds) << c.text;
    if (!c.kinds) {
      EXPECT_EQ(bad, c.bad) << c.text;
    }
  }
}

TEST(MessageKinds, TextReadsBackAsTheSameKinds) {
  for (unsigned bits = 0; bits < (1u << kMessageKindCount); ++bits) {
    const auto kinds = MessageKinds::FromBits(static_cast<std::uint8_t>(bits));
    std::string bad;
    EXPECT_EQ(ParseMessageKinds(MessageKindsText(kinds), bad), kinds) << MessageKindsText(kinds);
  }
  EXPECT_EQ(MessageKindsText(MessageKinds{K::Reset, K::Channel}), "channel,reset");
  EXPECT_EQ(MessageKindWords(),
            "channel, sysex, common, clock, transport, sensing, reset, all, none");
}

TEST(MessageKinds, TheInputDropsTheShortMessagesLeftOutAndNeverALongOne) {
  const std::uint32_t channelOnly = DroppedShortStatuses(MessageKinds{K::Channel});
  EXPECT_EQ(channelOnly & midi::ShortStatusBit(0x93), 0u);
  for (const std::uint8_t status : {0xF1, 0xF8, 0xFA, 0xFE, 0xFF}) {
    EXPECT_NE(channelOnly & midi::ShortStatusBit(status), 0u) << int(status);
  }
  EXPECT_EQ(DroppedShortStatuses(MessageKinds::None()) & midi::ShortStatusBit(0xF0), 0u);
  EXPECT_EQ(DroppedShortStatuses(MessageKinds::All()), 0u);
  EXPECT_EQ(DroppedShortStatuses(MessageKinds{K::Sysex, K::Clock}) & midi::ShortStatusBit(0xF8),
            0u);
}

}  // namespace
}  // namespace velmora::core
