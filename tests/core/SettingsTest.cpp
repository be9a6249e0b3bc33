#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ProfileLock.h"
#include "core/Settings.h"
#include "support/PtyPair.h"
#include "support/Wait.h"

namespace fs = std::filesystem;
using velmora::core::CommandLine;
using velmora::core::DeviceInventory;
using velmora::core::LoadSettings;
using velmora::core::RememberedChoices;
using velmora::core::SettingsFile;
using velmora::core::SettingsStore;
using velmora::core::StartChoice;
using velmora::testing::TempDir;

namespace {

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// Every entry with its time stamp (a folder's changes when a file is made or removed in it)
// and a file's content.
std::vector<std::string> listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    names.push_back(entry.path().string() + " " +
                    std::to_string(entry.last_write_time().time_since_epoch().count()) + " " +
                    std::to_string(fs::is_regular_file(entry)) +
                    (fs::is_regular_file(entry) ? " " + slurp(entry.path()) : ""));
  }
  std::sort(names.begin(), names.end());
  return names;
}

const RememberedChoices kChoices{
    "/dev/serial/by-id/usb-FTDI_A=1",
    velmora::core::LineSettings{31250, 7, velmora::serial::TParity::pMark, 2},
    "Keystation 49 MIDI 1 « é »",
    " Out = 2 ",
    velmora::core::WindowPosition{-1200, 40},
    velmora::core::MessageChoice{
        {velmora::core::MessageKind::Sysex, velmora::core::MessageKind::Clock},
        velmora::core::MessageKinds::None(),
        true}};

}  // namespace

TEST(Settings, PlaceRoundTripAndTheRememberedDevicesThatExist) {
  const CommandLine none;
  EXPECT_EQ(SettingsFile(none, "/x", "/home/u"), fs::path("/x/velmora/velmora.conf"));
  EXPECT_EQ(SettingsFile(none, nullptr, "/home/u"),
            fs::path("/home/u/.config/velmora/velmora.conf"));
  EXPECT_EQ(SettingsFile(none, "relative", "/home/u"),
            fs::path("/home/u/.config/velmora/velmora.conf"));
  EXPECT_EQ(SettingsFile(none, nullptr, nullptr), fs::path());

  TempDir directory;
  const fs::path file = directory.path() / "config" / "velmora" / "velmora.conf";
  EXPECT_EQ(LoadSettings(file).problem, "");  // absent: quietly the defaults
  velmora::core::SaveSettings(file, kChoices);
  const auto loaded = LoadSettings(file);
  EXPECT_EQ(loaded.problem, "");
  EXPECT_EQ(loaded.choices, kChoices);
  EXPECT_EQ(fs::directory_iterator(file.parent_path())->path(), file) << "a temporary file stayed";
  velmora::core::SaveSettings(file, RememberedChoices{});
  EXPECT_EQ(LoadSettings(file).choices, RememberedChoices{});

  // Each remembered device is that device, present or not.
  EXPECT_EQ(
      velmora::core::ChoiceFromRemembered(kChoices),
      (StartChoice{0, kChoices.serialDevice, *kChoices.line, kChoices.midiIn, kChoices.midiOut}));
  // The user's hand changes one choice; the others, and what a run was given, stay.
  RememberedChoices shown;
  shown.serialDevice = "/dev/ttyUSB9";
  shown.midiIn = "picked";
  for (const auto what : {velmora::core::Choosing::MidiIn, velmora::core::Choosing::MidiOut}) {
    RememberedChoices expected = kChoices;
    (what == velmora::core::Choosing::MidiIn ? expected.midiIn : expected.midiOut) =
        what == velmora::core::Choosing::MidiIn ? "picked" : "";
    EXPECT_EQ(velmora::core::Remembering(kChoices, shown, what), expected);
  }
}

// Each profile's name, and the files, JACK client and title that derive from it.
TEST(Settings, AProfileNameGivesItsOwnFileClientAndLockOrOneLineNamingTheProblem) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // a part of the one error line; empty: the line is good
    std::string file = {}, client = {}, title = {};
  };
  const std::vector<Case> cases = {
      {{}, "", "/c/velmora/velmora.conf", "velmora", "Velmora"},
      {{"--profile", "default"}, "", "/c/velmora/velmora.conf", "velmora", "Velmora"},
      {{"--profile", "synth2"}, "", "/c/velmora/synth2.conf", "velmora-synth2", "Velmora — synth2"},
      {{"--profile=Micro_Ctl-1"},
       "",
       "/c/velmora/Micro_Ctl-1.conf",
       "velmora-Micro_Ctl-1",
       "Velmora — Micro_Ctl-1"},
      {{"--profile", std::string(48, 'x')},
       "",
       "/c/velmora/" + std::string(48, 'x') + ".conf",
       "velmora-" + std::string(48, 'x'),
       "Velmora — " + std::string(48, 'x')},
      {{"--profile"}, "l'option --profile attend une valeur"},
      {{"--profile", ""}, "valeur «  » invalide pour --profile : un nom de 1 à 48 caractères"},
      {{"--profile", std::string(49, 'x')}, "un nom de 1 à 48"},
      {{"--profile", "a b"}, "valeur « a b » invalide pour --profile : des lettres, des chiffres"},
      {{"--profile", "../x"}, "des lettres"},
      {{"--profile", "synthé"}, "des lettres"},
      {{"--profile", "VelMora"}, "velmora.conf est le fichier de réglages du profil default"},
      // Windows' device names, in any case and on every platform; their neighbours are names.
      {{"--profile", "COM1"}, "valeur « COM1 » invalide pour --profile : COM1 est un nom de"},
      {{"--profile", "lpt9"}, "lpt9 est un nom de périphérique sous Windows"},
      {{"--profile", "Con"}, "nom de périphérique"},
      {{"--profile", "nul"}, "nom de périphérique"},
      {{"--profile", "AUX"}, "nom de périphérique"},
      {{"--profile", "pRn"}, "nom de périphérique"},
      {{"--profile", "COM10"}, "", "/c/velmora/COM10.conf", "velmora-COM10", "Velmora — COM10"},
      {{"--profile", "com0"}, "", "/c/velmora/com0.conf", "velmora-com0", "Velmora — com0"},
      {{"--profile", "console"},
       "",
       "/c/velmora/console.conf",
       "velmora-console",
       "Velmora — console"},
      {{"--list-profiles=a"}, "--list-profiles ne prend pas de valeur"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.args.empty() ? "" : test.args.back());
    const auto parsed = velmora::core::ParseCommandLine(test.args);
    if (!test.error.empty()) {
      EXPECT_NE(parsed.error.find(test.error), std::string::npos) << parsed.error;
      continue;
    }
    ASSERT_EQ(parsed.error, "");
    const std::string& profile = parsed.options.profile;
    EXPECT_EQ(SettingsFile(parsed.options, "/c", "/home/u"), fs::path(test.file));
    EXPECT_EQ(velmora::core::MidiClientName(profile), test.client);
    EXPECT_EQ(velmora::core::WindowTitle(profile), test.title);
  }
  EXPECT_EQ(velmora::core::ProfileLockFolder("/run/user/7", "/c/velmora"),
            fs::path("/run/user/7/velmora"));
  EXPECT_EQ(velmora::core::ProfileLockFolder(nullptr, "/c/velmora"), fs::path("/c/velmora"));
  EXPECT_EQ(velmora::core::ProfileLockFolder("relative", "/c/velmora"), fs::path("/c/velmora"));

  // --list-profiles: the files that a profile reads, and nothing else.
  TempDir directory;
  for (const char* name : {"velmora.conf", "synth2.conf", "Micro-1.conf", "default.conf",
                           "bad name.conf", "synth2.conf.12.tmp", "notes.txt"}) {
    put(directory.path() / name, "");
  }
  fs::create_directories(directory.path() / "folder.conf");
  EXPECT_EQ(velmora::core::ProfilesIn(directory.path()),
            (std::vector<std::string>{"Micro-1", "default", "synth2"}));
  EXPECT_EQ(velmora::core::ProfilesIn(directory.path() / "absent"), std::vector<std::string>{});
}

TEST(Settings, ADamagedFileGivesDefaultsAndOneLineAndStaysUntilAChoiceChanges) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const auto text = [](std::string content) {
    return [content](const fs::path& file) { put(file, content); };
  };
  std::string garbage(10 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  const std::vector<Case> cases = {
      {"baud not a number", text("[serial]\nbaud=fast\n")},
      {"huge baud", text("[serial]\nbaud=99999999999999999999\n")},
      {"zero baud", text("[serial]\nbaud=0\n")},
      {"data bits", text("[serial]\ndata-bits=9\n")},
      {"parity", text("[serial]\nparity=Even\n")},
      {"stop bits", text("[serial]\nstop-bits=3\n")},
      {"empty device", text("[serial]\ndevice=\n")},
      {"a kind unknown", text("[messages]\nto-serial=channel,tick\n")},
      {"text neither on nor off", text("[messages]\nserial-text=yes\n")},
      {"huge position", text("[window]\nx=1e99\n")},
      {"far position", text("[window]\ny=-2000000000\n")},
      {"no equals", text("[midi]\ninput\n")},
      {"open section", text("[midi\ninput=a\n")},
      {"control bytes", text("[midi]\ninput=a\x01\x02\n")},
      {"short garbage", text(garbage.substr(0, 3000))},
      {"10 MB of garbage", text(garbage)},
      {"a directory", [](const fs::path& file) { fs::create_directories(file / "inside"); }},
      {"a FIFO",
       [](const fs::path& file) {
         fs::create_directories(file.parent_path());
         ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
       }},
      {"unreadable",
       [](const fs::path& file) {
         put(file, "[serial]\nbaud=9600\n");
         fs::permissions(file, fs::perms::none);
       }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TempDir directory;
    const fs::path file = directory.path() / "velmora" / "velmora.conf";
    test.make(file);
    if (std::string(test.name) == "unreadable" && ::access(file.c_str(), R_OK) == 0) continue;
    const auto before = listing(directory.path());
    std::string problem;
    {
      SettingsStore store(file);
      store.SetOnSaveProblem([&](const std::string& line) { problem = line; });
      EXPECT_EQ(store.Remembered(), RememberedChoices{});
      EXPECT_NE(store.Problem(), "");
      EXPECT_EQ(store.Problem().find('\n'), std::string::npos);
      EXPECT_EQ(store.Remember(RememberedChoices{}), "");
      EXPECT_EQ(listing(directory.path()), before);

      // The user's change replaces it, where a file can be; the worker tells when it cannot.
      EXPECT_EQ(store.Remember(kChoices), "");
      if (fs::is_directory(file)) {
        EXPECT_TRUE(velmora::testing::PumpUntil([&] { return !problem.empty(); }));
        EXPECT_EQ(problem.rfind("Réglages non enregistrés : ", 0), 0u) << problem;
      }
    }  // written by now
    if (!fs::is_directory(file)) {
      EXPECT_EQ(problem, "");
      fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_EQ(LoadSettings(file).choices, kChoices);
    }
  }
}

TEST(Settings, NoSettingsNeitherReadsNorWrites) {
  TempDir directory;
  const fs::path file = directory.path() / "velmora" / "velmora.conf";
  put(file, "[serial]\nbaud=fast\n");
  const auto before = listing(directory.path());
  CommandLine options;
  options.noSettings = true;
  {
    SettingsStore store(SettingsFile(options, directory.path().c_str(), nullptr));
    EXPECT_EQ(store.Problem(), "");
    EXPECT_EQ(store.Remember(kChoices), "");
  }
  EXPECT_EQ(listing(directory.path()), before);

  options.noSettings = false;
  {
    SettingsStore reading(SettingsFile(options, directory.path().c_str(), nullptr));
    EXPECT_NE(reading.Problem(), "");
    EXPECT_EQ(reading.Remember(kChoices), "");
  }
  EXPECT_EQ(LoadSettings(file).choices, kChoices);
}

TEST(Settings, TwoProgramsWritingAtOnceLeaveOneWholeVersionAndNoTemporaryFile) {
  TempDir directory;
  const fs::path file = directory.path() / "velmora" / "velmora.conf";
  // Two versions per writer, so that each of its saves is a change.
  const auto version = [](int writer, int turn) {
    RememberedChoices choices = kChoices;
    choices.midiIn = "writer " + std::to_string(writer) + std::string(200 * (turn + 1), 'x');
    choices.line->baud = 1200 * (writer * 2 + turn + 1);
    return choices;
  };
  std::vector<RememberedChoices> versions;
  for (int writer = 0; writer < 2; ++writer) {
    for (int turn = 0; turn < 2; ++turn) versions.push_back(version(writer, turn));
  }
  velmora::core::SaveSettings(file, versions[0]);

  constexpr int kSaves = 150;
  std::atomic<int> ready{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> writers;
  for (int writer = 0; writer < 2; ++writer) {
    writers.emplace_back([&, writer] {
      SettingsStore store(file);  // each program's own store, as at its start
      ++ready;
      while (ready < 3) std::this_thread::yield();
      for (int save = 0; save < kSaves; ++save) {
        EXPECT_EQ(store.Remember(version(writer, save % 2)), "");
      }
    });
  }
  // A third program starting meanwhile reads one whole version, never a mix.
  std::set<std::string> problems;
  int unknown = 0;
  std::thread reader([&] {
    ++ready;
    while (ready < 3) std::this_thread::yield();
    while (writing) {
      const auto loaded = LoadSettings(file);
      if (!loaded.problem.empty()) problems.insert(loaded.problem);
      if (std::find(versions.begin(), versions.end(), loaded.choices) == versions.end()) ++unknown;
    }
  });
  for (auto& writer : writers) writer.join();
  writing = false;
  reader.join();

  EXPECT_EQ(problems, std::set<std::string>{});
  EXPECT_EQ(unknown, 0);
  const auto loaded = LoadSettings(file);
  EXPECT_EQ(loaded.problem, "");
  EXPECT_TRUE(loaded.choices == versions[1] || loaded.choices == versions[3]);
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(file.parent_path())) left.push_back(entry);
  EXPECT_EQ(left, std::vector<fs::path>{file}) << "a temporary file stayed";
}
