#include <QComboBox>
#include <filesystem>
#include <fstream>

#include "support/PtyPair.h"
#include "ui/WindowFixture.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

class ChoiceMemoryTest : public WindowFixture {
 protected:
  void StartWith(const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
    factory.outputs = {"Synth", "Sampler"};
    Start(file);
  }
  // Closes the window: where it was is remembered, and the bridge has ended.
  void Close() { TearDown(); }

  // Lines about the settings file; start-up logs the absent serial port beside them.
  int SettingsLines() const {
    int count = 0;
    for (const auto& line : window->Shown().log) {
      count += line.find("Réglages ignorés") != std::string::npos ? 1 : 0;
    }
    return count;
  }
  std::string Text() const {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Waits until the file remembers `output`.
  bool Written(const std::string& output) const {
    return QTest::qWaitFor([&] { return core::LoadSettings(file).choices.midiOut == output; },
                           kWaitMs);
  }
  void ChooseOutput(int index) {
    auto* list = Find<QComboBox>("cbMIDIOut");
    list->setCurrentIndex(index);
    emit list->activated(index);
    ASSERT_TRUE(WaitShown([index](const core::WindowSnapshot& shown) {
      return shown.lists[2].selected == index && shown.shapes[2] == core::kOpenColor;
    }));
  }

  testing::TempDir directory;
  fs::path file = directory.path() / "velmora" / "velmora.conf";
};

// Each choice is written as the user makes it, and only it: the input and message kinds that
// this run did not take from the file (as a run given other ones on its command line) stay.
TEST_F(ChoiceMemoryTest, TheRememberedPlaceIsTakenAndChoicesAndMovesAreWritten) {
  StartWith("[window]\nx=30\ny=40\n[midi]\ninput=Keys\n[messages]\nto-serial=all\n");
  EXPECT_EQ(window->pos(), QPoint(30, 40));
  EXPECT_EQ(SettingsLines(), 0);

  ChooseOutput(1);
  EXPECT_TRUE(Written("Sampler"));

  window->move(50, 60);
  Close();
  const auto written = core::LoadSettings(file).choices;
  EXPECT_EQ(written.position, (core::WindowPosition{50, 60}));
  EXPECT_EQ(written.midiOut, "Sampler");
  EXPECT_EQ(written.midiIn, "Keys");
  ASSERT_TRUE(written.messages.has_value());
  EXPECT_EQ(written.messages->toSerial, core::MessageKinds::All());
}

TEST_F(ChoiceMemoryTest, ADamagedFileIsToldInTheLogAndKeptWhileNothingChanges) {
  const std::string damaged = "[window]\nx=30\ny=40\n[serial]\nbaud=fast\n";
  StartWith(damaged);
  ASSERT_TRUE(
      WaitShown([](const core::WindowSnapshot& shown) { return !shown.status[0].empty(); }));
  EXPECT_EQ(SettingsLines(), 1);
  EXPECT_NE(window->Shown().status[0].find("Réglages ignorés"), std::string::npos)
      << "kept in the status bar until the next choice";
  EXPECT_NE(window->pos(), QPoint(30, 40));
  Close();
  EXPECT_EQ(Text(), damaged);
}

TEST_F(ChoiceMemoryTest, TheListsFollowThePortsWithoutChangingOrWritingTheChoice) {
  StartWith("");
  ChooseOutput(1);  // the user chooses "Sampler"
  ASSERT_TRUE(Written("Sampler"));
  const std::string written = Text();
  ASSERT_NE(written.find("output=Sampler"), std::string::npos);
  const auto shows = [this](std::vector<std::string> items, const std::string& chosen) {
    return WaitShown([&](const core::WindowSnapshot& shown) {
      const auto& list = shown.lists[2];
      return list.items == items && list.selected >= 0 &&
             list.items[static_cast<std::size_t>(list.selected)] == chosen;
    });
  };
  const auto listed = [this](std::vector<std::string> names) {
    OnBridge([&] {
      factory.output->names = names;
      Bridge().RefreshMidiLists();
    });
  };
  listed({"Synth", "Sampler", "Drums"});
  EXPECT_TRUE(shows({"Synth", "Sampler", "Drums"}, "Sampler"));
  listed({"Synth", "Drums"});
  EXPECT_TRUE(shows({"Synth", "Drums", "Sampler — absent"}, "Sampler — absent"));
  EXPECT_EQ(Find<QComboBox>("cbMIDIOut")->currentText().toStdString(), "Sampler — absent");
  EXPECT_EQ(Text(), written) << "a list change was written as a choice";
}

TEST_F(ChoiceMemoryTest, APlaceOffEveryScreenIsNotTaken) {
  StartWith("[window]\nx=-90000\ny=0\n");
  EXPECT_NE(window->pos(), QPoint(-90000, 0));
}

}  // namespace
}  // namespace velmora::test
