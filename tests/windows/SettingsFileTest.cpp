// The settings file's reading and writing on Windows, in a folder of the test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

// <windows.h> defines names that the project's headers declare: they come first.
// clang-format off
#include "core/Settings.h"
#include <windows.h>
// clang-format on

namespace fs = std::filesystem;
using velmora::core::LoadSettings;
using velmora::core::RememberedChoices;
using velmora::core::SaveSettings;

namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("velmora-settings-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path file() const { return folder_ / "velmora" / "velmora.conf"; }
  void put(const std::string& text) const {
    fs::create_directories(file().parent_path());
    std::ofstream(file(), std::ios::binary) << text;
  }

  fs::path folder_;
};

const RememberedChoices kChoices{
    "\\\\.\\COM7", velmora::core::LineSettings{31250, 7, velmora::serial::TParity::pMark, 2},
    "Keystation 49 « é »", "Microsoft GS Wavetable Synth",
    velmora::core::WindowPosition{-1200, 40}};

TEST_F(SettingsFileTest, WrittenOverTheOldFileAndReadBackWithNothingLeftBeside) {
  put("[midi]\ninput=old\n");
  SaveSettings(file(), kChoices);
  const auto loaded = LoadSettings(file());
  EXPECT_EQ(loaded.problem, "");
  EXPECT_EQ(loaded.choices, kChoices);
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(file().parent_path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(SettingsFileTest, AbsentFileIsNoProblemAndBadFilesAreIgnoredWithTheirReason) {
  EXPECT_EQ(LoadSettings(file()).problem, "");
  const std::string prefix = "Réglages ignorés (" + file().string() + ") : ";
  put("[serial]\nbaud=fast\n");
  EXPECT_EQ(LoadSettings(file()).problem, prefix + "ligne 2 : valeur invalide pour « baud »");
  put(std::string(64 * 1024 + 1, '#'));
  EXPECT_EQ(LoadSettings(file()).problem, prefix + "trop grand");
  fs::remove(file());
  fs::create_directories(file());
  const auto folder = LoadSettings(file());
  EXPECT_EQ(folder.problem.rfind(prefix, 0), 0u) << folder.problem;
  EXPECT_GT(folder.problem.size(), prefix.size());
  EXPECT_EQ(folder.choices, RememberedChoices{});
}

}  // namespace
