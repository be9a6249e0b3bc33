#include <QComboBox>
#include <filesystem>
#include <fstream>

#include "support/PtyPair.h"
#include "ui/WindowFixture.h"
#include "ui/qt/ChoiceMemory.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

class ChoiceMemoryTest : public WindowFixture {
 protected:
  void StartWith(const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
    factory.outputs = {"Synth", "Sampler"};
    store = std::make_unique<core::SettingsStore>(file);
    Start();
    memory = std::make_unique<ui::qt::ChoiceMemory>(*window, *store);
    memory->Shown();
  }
  void TearDown() override {
    memory.reset();
    WindowFixture::TearDown();
  }

  // Lines about the settings file; start-up logs the absent serial port beside them.
  int SettingsLines() const {
    int count = 0;
    for (int i = 0; i < window->LogCount(); ++i) {
      count += window->LogLine(i).find("Réglages ignorés") != std::string::npos ? 1 : 0;
    }
    return count;
  }

  testing::TempDir directory;
  fs::path file = directory.path() / "velmora" / "velmora.conf";
  std::unique_ptr<core::SettingsStore> store;
  std::unique_ptr<ui::qt::ChoiceMemory> memory;
};

TEST_F(ChoiceMemoryTest, TheRememberedPlaceIsTakenAndChoicesAndMovesAreWritten) {
  StartWith("[window]\nx=30\ny=40\n");
  EXPECT_EQ(window->pos(), QPoint(30, 40));
  EXPECT_EQ(SettingsLines(), 0);

  auto* list = Find<QComboBox>("cbMIDIOut");
  list->setCurrentIndex(1);
  emit list->activated(1);
  EXPECT_EQ(core::LoadSettings(file).choices.midiOut, "Sampler");

  window->move(50, 60);
  memory->Closing();
  const auto written = core::LoadSettings(file).choices;
  EXPECT_EQ(written.position, (core::WindowPosition{50, 60}));
  EXPECT_EQ(written.midiOut, "Sampler");
}

TEST_F(ChoiceMemoryTest, ADamagedFileIsToldInTheLogAndKeptWhileNothingChanges) {
  const std::string damaged = "[window]\nx=30\ny=40\n[serial]\nbaud=fast\n";
  StartWith(damaged);
  EXPECT_EQ(SettingsLines(), 1);
  EXPECT_NE(window->pos(), QPoint(30, 40));
  memory->Closing();
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
}

TEST_F(ChoiceMemoryTest, TheListsFollowThePortsWithoutChangingOrWritingTheChoice) {
  StartWith("");
  auto* list = Find<QComboBox>("cbMIDIOut");
  list->setCurrentIndex(1);
  emit list->activated(1);  // the user chooses "Sampler"
  const auto text = [this] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string written = text();
  ASSERT_NE(written.find("output=Sampler"), std::string::npos);
  const auto items = [list] {
    std::vector<std::string> texts;
    for (int i = 0; i < list->count(); ++i) texts.push_back(list->itemText(i).toStdString());
    return texts;
  };
  auto& output = dynamic_cast<FakeMidiOutput&>(*window->Form().Bridge().MidiOutput);
  output.names = {"Synth", "Sampler", "Drums"};
  window->Form().Bridge().RefreshMidiLists();
  EXPECT_EQ(items(), (std::vector<std::string>{"Synth", "Sampler", "Drums"}));
  EXPECT_EQ(list->currentText().toStdString(), "Sampler");
  output.names = {"Synth", "Drums"};
  window->Form().Bridge().RefreshMidiLists();
  EXPECT_EQ(items(), (std::vector<std::string>{"Synth", "Drums", "Sampler — absent"}));
  EXPECT_EQ(list->currentText().toStdString(), "Sampler — absent");
  EXPECT_EQ(text(), written) << "a list change was written as a choice";
}

TEST_F(ChoiceMemoryTest, APlaceOffEveryScreenIsNotTaken) {
  StartWith("[window]\nx=-90000\ny=0\n");
  EXPECT_NE(window->pos(), QPoint(-90000, 0));
}

}  // namespace
}  // namespace velmora::test
