#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CommandLine.h"
#include "core/Settings.h"

using velmora::core::CommandLine;
using velmora::core::DeviceInventory;
using velmora::core::LineSettings;
using velmora::core::ParseCommandLine;
using velmora::core::ResolveChoice;
using velmora::core::StartChoice;
using velmora::serial::TParity;

namespace {

struct Case {
  std::vector<std::string> args;
  // Empty: the line is good and gives `choice`; else a part of the one error line.
  std::string error = {};
  StartChoice choice = {};
  bool help = false, version = false, list = false, headless = false, noSettings = false;
};

const DeviceInventory kDevices{{"/dev/ttyUSB0", "/dev/ttyACM0"},
                               {"Keystation 49 MIDI 1", "Midi Through Port-0", "USB Synth In"},
                               {"Midi Through Port-0", "USB Synth Out", "usb synth out"}};

const LineSettings k38400{};
const LineSettings k31250{31250, 8, TParity::pNone, 1};

Case Bad(std::vector<std::string> args, std::string error) {
  Case test;
  test.args = std::move(args);
  test.error = std::move(error);
  return test;
}

}  // namespace

TEST(CommandLine, GoodLinesGiveTheirChoiceAndBadOnesOneLineNamingTheProblem) {
  const std::vector<Case> cases = {
      {{}, "", {}},
      {{"--help"}, "", {}, true},
      {{"-h", "--version"}, "", {}, true, true},
      {{"--list", "--headless", "--no-settings"}, "", {}, false, false, true, true, true},
      {{"--port", "COM2"}, "", {2, "", k38400, "", ""}},
      {{"--port=com1"}, "", {1, "", k38400, "", ""}},
      {{"--port=/dev/ttyUSB0", "--baud", "31250"}, "", {1, "", k31250, "", ""}},
      {{"--baud=115200"}, "", {0, "", {115200, 8, TParity::pNone, 1}, "", ""}},
      {{"--line", "9600,7,e,2"}, "", {0, "", {9600, 7, TParity::pEven, 2}, "", ""}},
      {{"--line", "31250,5,S,1"}, "", {0, "", {31250, 5, TParity::pSpace, 1}, "", ""}},
      {{"--line", "300,6,M,2"}, "", {0, "", {300, 6, TParity::pMark, 2}, "", ""}},
      {{"--line", "300,8,O,1"}, "", {0, "", {300, 8, TParity::pOdd, 1}, "", ""}},
      {{"--midi-in", "keystation"}, "", {0, "", k38400, "Keystation 49 MIDI 1", ""}},
      {{"--midi-in", "midi through port-0"}, "", {0, "", k38400, "Midi Through Port-0", ""}},
      // An exact name wins over the parts it shares with others.
      {{"--midi-out", "usb synth out"}, "", {0, "", k38400, "", "usb synth out"}},
      Bad({"--bogus"}, "option inconnue « --bogus » (--help liste les options)"),
      Bad({"COM1"}, "option inconnue « COM1 »"),
      Bad({"--help=yes"}, "l'option --help ne prend pas de valeur"),
      Bad({"--port"}, "l'option --port attend une valeur"),
      Bad({"--port", ""}, "l'option --port attend une valeur non vide"),
      Bad({"--baud", "0"}, "valeur « 0 » invalide pour --baud : une vitesse de 1 à 4000000"),
      Bad({"--baud", "abc"}, "valeur « abc » invalide pour --baud"),
      Bad({"--baud", "-9600"}, "valeur « -9600 » invalide"),
      Bad({"--baud", "99999999999999999999"}, "invalide pour --baud"),
      Bad({"--baud", "38400,8,N,1"}, "invalide pour --baud"),
      Bad({"--line", "31250,4,N,1"},
          "valeur « 31250,4,N,1 » invalide pour --line : N ou N,D,P,S (vitesse, bits de données "
          "5-8, parité N/O/E/M/S, bits d'arrêt 1/2)"),
      Bad({"--line", "31250,8,X,1"}, "invalide pour --line"),
      Bad({"--line", "31250,8,N,3"}, "invalide pour --line"),
      Bad({"--line", "31250,8,N"}, "invalide pour --line"),
      Bad({"--timing", "slow"}, "valeur « slow » invalide pour --timing : exact ou fast"),
#ifdef _WIN32
      // There COMn is the device itself: it waits for it as for a path.
      {{"--port", "COM3"}, "", {0, "\\\\.\\COM3", k38400, "", ""}},
#else
      Bad({"--port", "COM3"},
          "--port : « COM3 » n'est pas un port série ; candidats : « COM1 (/dev/ttyUSB0) », "
          "« COM2 (/dev/ttyACM0) »"),
#endif
      // A device that is not there yet is chosen all the same: it opens when it comes.
      {{"--port", "/dev/ttyUSB9"}, "", {0, "/dev/ttyUSB9", k38400, "", ""}},
      {{"--midi-in", "piano"}, "", {0, "", k38400, "piano", "", true}},
      {{"--flow", "XON-XOFF"},
       "",
       {0, "", {38400, 8, TParity::pNone, 1, velmora::core::FlowControl::XonXoff}, "", ""}},
      Bad({"--flow", "hardware"},
          "valeur « hardware » invalide pour --flow : none, rts-cts ou xon-xoff"),
      Bad({"--midi-in", "MIDI"},
          "--midi-in : « MIDI » correspond à plusieurs entrées MIDI : « Keystation 49 MIDI 1 », "
          "« Midi Through Port-0 »"),
      Bad({"--midi-out", "SYNTH"}, "--midi-out : « SYNTH » correspond à plusieurs sorties MIDI"),
  };
  for (const Case& test : cases) {
    std::string line;
    for (const auto& arg : test.args) line += arg + " ";
    SCOPED_TRACE(line);
    const auto parsed = ParseCommandLine(test.args);
    std::string error = parsed.error;
    StartChoice choice;
    if (error.empty()) {
      const auto resolved = ResolveChoice(parsed.options, kDevices);
      error = resolved.error;
      choice = resolved.choice;
    }
    if (!test.error.empty()) {
      EXPECT_NE(error.find(test.error), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos);
      continue;
    }
    EXPECT_EQ(error, "");
    EXPECT_EQ(choice, test.choice);
    const CommandLine& options = parsed.options;
    EXPECT_EQ(options.help, test.help);
    EXPECT_EQ(options.version, test.version);
    EXPECT_EQ(options.list, test.list);
    EXPECT_EQ(options.headless, test.headless);
    EXPECT_EQ(options.noSettings, test.noSettings);
  }
}

// What crosses: the command line over the remembered choice over the defaults.
TEST(CommandLine, MessageOptionsOverrideTheRememberedChoiceAndABadKindIsNamed) {
  using velmora::core::MessageChoice;
  using velmora::core::MessageKinds;
  using K = velmora::core::MessageKind;
  const MessageChoice remembered{{K::Clock}, {K::Channel}, true};
  const struct {
    std::vector<std::string> args;
    bool rememberedOnes;
    MessageChoice chosen;
    std::string error;
  } cases[] = {
      {{}, false, MessageChoice{}, ""},
      {{}, true, remembered, ""},
      {{"--to-serial", "channel,clock"}, true, {{K::Channel, K::Clock}, {K::Channel}, true}, ""},
      {{"--to-midi=none", "--serial-text"}, false, {{K::Channel}, MessageKinds::None(), true}, ""},
      {{"--to-serial", "ALL"}, false, {MessageKinds::All(), MessageKinds::All(), false}, ""},
      {{"--to-serial", "clock,tick"}, false, {}, "valeur « tick » invalide pour --to-serial"},
      {{"--to-midi"}, false, {}, "l'option --to-midi attend une valeur"},
      {{"--serial-text=on"}, false, {}, "l'option --serial-text ne prend pas de valeur"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.args.empty() ? std::string("(none)") : test.args.front());
    const auto parsed = ParseCommandLine(test.args);
    if (!test.error.empty()) {
      EXPECT_NE(parsed.error.find(test.error), std::string::npos) << parsed.error;
      continue;
    }
    ASSERT_EQ(parsed.error, "");
    velmora::core::RememberedChoices file;
    if (test.rememberedOnes) file.messages = remembered;
    EXPECT_EQ(velmora::core::ChosenMessages(parsed.options, file), test.chosen);
  }
}

TEST(CommandLine, TheListSaysWhenNoPortIsThere) {
  using velmora::core::ListText;
  EXPECT_EQ(ListText(DeviceInventory{}), "aucun port série\naucun port MIDI\n");
  EXPECT_EQ(ListText(DeviceInventory{{"/dev/ttyUSB0"}, {}, {"Synth"}}),
            "serial\tCOM1\t/dev/ttyUSB0\nmidi-out\tSynth\n");
  EXPECT_EQ(ListText(DeviceInventory{{}, {"Keys"}, {}}), "midi-in\tKeys\naucun port série\n");
}
