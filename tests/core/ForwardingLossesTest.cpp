#include "core/ForwardingLosses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Wait.h"

namespace {

using velmora::core::ForwardingLosses;
using velmora::core::Loss;
using velmora::core::LossPath;
using Lines = std::vector<std::string>;

struct ForwardingLossesTest : ::testing::Test {
  Lines lines;
  ForwardingLosses losses{[this](const std::string& line) { lines.push_back(line); }};
};

TEST_F(ForwardingLossesTest, AnEpisodeWritesOneLineWithItsCountWhenItEnds) {
  for (int i = 0; i < 12; ++i) losses.Lost(Loss::MidiOutClosed);
  losses.Lost(Loss::ComFull);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(losses.Owed(Loss::MidiOutClosed), 12u);

  losses.EndEpisodes(LossPath::MidiOut);
  EXPECT_EQ(lines, Lines{"[Midi-Out] - sortie MIDI fermée : 12 messages non transmis"});
  losses.EndEpisodes(LossPath::MidiOut);
  EXPECT_EQ(lines.size(), 1u) << "an ended episode writes nothing more";
  EXPECT_EQ(losses.Owed(Loss::ComFull), 1u) << "the other path's episode goes on";

  losses.Lost(Loss::MidiOutClosed);
  losses.EndEpisodes(LossPath::MidiOut);
  EXPECT_EQ(lines.back(), "[Midi-Out] - sortie MIDI fermée : 1 message non transmis");
  EXPECT_EQ(losses.Total(Loss::MidiOutClosed), 13u);
}

TEST_F(ForwardingLossesTest, AnEpisodeThatGoesOnIsWrittenByTheTimer) {
  losses.Lost(Loss::MidiOutTooLong);
  losses.Lost(Loss::MidiOutRefused, "first");
  losses.Lost(Loss::MidiOutRefused, "Unspecified MIDI error.");
  ASSERT_TRUE(velmora::testing::PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines, (Lines{"[Midi-Out] - message trop long pour la sortie MIDI : 1 message non "
                          "transmis",
                          "[Midi-Out] - message refusé par la sortie MIDI (Unspecified MIDI "
                          "error.) : 2 messages non transmis"}));
  EXPECT_EQ(losses.Owed(Loss::MidiOutRefused), 0u);
}

TEST(ForwardingLossTexts, EachCauseHasItsOwnLineOnItsPath) {
  const struct {
    Loss cause;
    LossPath path;
    const char* line;
  } cases[] = {
      {Loss::MidiOutClosed, LossPath::MidiOut,
       "[Midi-Out] - sortie MIDI fermée : 2 messages non transmis"},
      {Loss::MidiOutFull, LossPath::MidiOut,
       "[Midi-Out] - sortie MIDI saturée : 2 messages non transmis"},
      {Loss::ComClosed, LossPath::Com, "[Com-Tx] - port série fermé : 2 messages non transmis"},
      {Loss::ComFull, LossPath::Com,
       "[Com-Tx] - tampon d'émission du port série plein : 2 messages non transmis"},
      {Loss::ComRefused, LossPath::Com,
       "[Com-Tx] - écriture refusée par le port série : 2 messages non transmis"},
      {Loss::ComStopped, LossPath::Com, "[Com-Tx] - arrêt du programme : 2 messages non transmis"},
      {Loss::MidiInFull, LossPath::MidiIn,
       "[MIDI-In] - entrée MIDI saturée : 2 messages non transmis"},
      {Loss::MidiInIncomplete, LossPath::MidiIn,
       "[MIDI-In] - message incomplet refusé : 2 messages non transmis"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::core::PathOf(c.cause), c.path) << c.line;
    EXPECT_EQ(ForwardingLosses::LineText(c.cause, 2, {}), c.line);
  }
}

// A dump too long for a MIDI event: a line of its own at once, in bytes, one message counted.
TEST(ForwardingLossTexts, ADumpTooLongHasItsOwnLineAtOnce) {
  Lines lines;
  ForwardingLosses losses([&](const std::string& line) { lines.push_back(line); });
  losses.LostTooLong(70000);
  losses.LostTooLong(65536);
  EXPECT_EQ(lines, (Lines{"[Midi-Out] - système exclusif trop long : 70000 octets non transmis",
                          "[Midi-Out] - système exclusif trop long : 65536 octets non transmis"}));
  EXPECT_EQ(losses.Total(Loss::MidiOutTooLong), 2u);
  EXPECT_EQ(losses.Owed(Loss::MidiOutTooLong), 0u);
}

}  // namespace
