#include <QAction>
#include <QComboBox>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <algorithm>

#include "support/PtyPair.h"
#include "ui/WindowFixture.h"
#include "ui/qt/Colors.h"
#include "ui/qt/Shape.h"
#include "ui/qt/StatusLamp.h"

namespace velmora::test {
namespace {

using core::DeviceList;
using core::Lamp;
using core::Shape;

class MainWindowTest : public WindowFixture {
 protected:
  void StartWithDevices() {
    factory.inputs = {"Keyboard", "Pads"};
    factory.outputs = {"Synth", "Sampler"};
    Start();
  }
  QColor CentrePixel(const char* name) {
    window->repaint();
    QWidget* widget = Find(name);
    return widget->grab().toImage().pixelColor(widget->width() / 2, widget->height() / 2);
  }
};

TEST_F(MainWindowTest, ControlsSitWhereTheFormPutsThemWithTheirTexts) {
  Start();
  EXPECT_EQ(window->windowTitle(), "Velmora");
  // The form's 341, a row for the counters and "Tout arrêter", and as wide as the font needs.
  const int width = window->centralWidget()->width();
  EXPECT_EQ(window->centralWidget()->height(), 375);
  EXPECT_GE(width, 377);
  EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the window is not resizable";

  const struct {
    const char* name;
    QRect geometry;
  } boxes[] = {
      {"shComPort", {16, 16, 17, 22}},
      {"cbComPort", {40, 16, 249, 22}},
      {"shMidiIn", {16, 48, 17, 22}},
      {"cbMIDIIn", {40, 48, 249, 22}},
      {"shMidiOut", {16, 80, 17, 22}},
      {"cbMIDIOut", {40, 80, 249, 22}},
      {"lstLog", {16, 136, 345, 97}},
      {"ledCPRx", {16, 248, 13, 13}},
      {"LedMidiOut", {128, 248, 13, 13}},
      {"LedMidiIn", {16, 264, 13, 13}},
      {"ledCPTx", {128, 264, 13, 13}},
      {"btnLogClear", {312, 248, 49, 20}},
      {"ApdStatusLight2", {16, 296, 13, 13}},
      {"ApdStatusLight1", {128, 296, 13, 13}},
      {"Button1", {312, 296, 49, 20}},
      {"StatusBar1", {0, 356, width, 19}},
      {"lblCountsToMidi", {16, 322, width - 32, 13}},
  };
  for (const auto& box : boxes) {
    const QWidget* widget = Find(box.name);
    ASSERT_NE(widget, nullptr) << box.name;
    EXPECT_EQ(widget->geometry(), box.geometry) << box.name;
  }

  const struct {
    const char* name;
    QPoint at;
    const char* text;
  } labels[] = {
      {"Label1", {296, 24}, "RS232"},
      {"Label4", {296, 56}, "MIDI In"},
      {"Label3", {296, 88}, "MIDI Out"},
      {"Label5", {16, 120}, "Evenements récents (le plus récent en fin de liste)"},
      {"Label2", {40, 248}, "RS232 In (RX)"},
      {"Label7", {152, 248}, "MIDI Out"},
      {"Label8", {40, 264}, "MIDI In"},
      {"Label6", {152, 264}, "RS232 Out (TX)"},
      {"Label10", {40, 296}, "Erreur MIDI"},
      {"Label9", {152, 296}, "Erreur RS232"},
  };
  for (const auto& label : labels) {
    const auto* widget = Find<QLabel>(label.name);
    ASSERT_NE(widget, nullptr) << label.name;
    EXPECT_EQ(widget->pos(), label.at) << label.name;
    EXPECT_EQ(widget->text(), QString::fromUtf8(label.text));
  }
  EXPECT_EQ(Find<QPushButton>("btnLogClear")->text(), "Effacer");
  EXPECT_EQ(Find<QPushButton>("Button1")->text(), "Reset");

  const QFont logFont = Find("lstLog")->font();
  EXPECT_TRUE(logFont.fixedPitch());
  EXPECT_EQ(QFontInfo(logFont).fixedPitch(), true) << "a fixed-pitch font is really used";
  EXPECT_EQ(logFont.pixelSize(), 9);
}

TEST_F(MainWindowTest, TabOrderFollowsTheForm) {
  Start();
  const char* order[] = {"cbComPort", "cbMIDIOut", "cbMIDIIn", "lstLog", "Button1", "btnLogClear"};
  QWidget* widget = Find(order[0]);
  for (std::size_t i = 1; i < std::size(order); ++i) {
    // Skip what takes no tab focus (labels, lamps, the status bar).
    do {
      widget = widget->nextInFocusChain();
    } while (!(widget->focusPolicy() & Qt::TabFocus));
    EXPECT_EQ(widget->objectName(), order[i]);
  }
}

TEST_F(MainWindowTest, MenuEntriesAndTheirHints) {
  Start();
  const QList<QAction*> menus = window->menuBar()->actions();
  ASSERT_EQ(menus.size(), 2);
  EXPECT_EQ(menus[0]->text(), "Fichier");
  EXPECT_EQ(menus[1]->text(), "Aide");
  QList<QAction*> file = menus[0]->menu()->actions();
  ASSERT_EQ(file.size(), 8);
  EXPECT_EQ(file[0]->text(), "Paramètres du port...");
  EXPECT_EQ(file[1]->text(), "Messages transmis...");
  EXPECT_EQ(file[2]->text(), "Capturer les octets...");
  EXPECT_EQ(file[3]->text(), "Arrêter la capture");
  EXPECT_TRUE(file[4]->isSeparator());
  EXPECT_EQ(file[5]->text(), "Tout arrêter");
  EXPECT_EQ(file[5]->shortcut().toString(QKeySequence::NativeText), "Ctrl+Espace");
  EXPECT_TRUE(file[6]->isSeparator());
  QAction* startCapture = file[2];
  QAction* stopCapture = file[3];
  EXPECT_TRUE(startCapture->isEnabled());
  EXPECT_FALSE(stopCapture->isEnabled()) << "no capture runs";
  file.remove(0, 7);
  EXPECT_EQ(file[0]->text(), "Quitter");
  const QList<QAction*> help = menus[1]->menu()->actions();
  ASSERT_EQ(help.size(), 3);
  EXPECT_EQ(help[0]->text(), "Index de l'aide");
  EXPECT_TRUE(help[1]->isSeparator());
  EXPECT_EQ(help[2]->text(), "A propos...");
  for (QAction* action : {file[0], help[0], help[2]}) EXPECT_EQ(action->toolTip(), action->text());

  // While a capture runs the status bar says so, and only "Arrêter la capture" applies; it
  // reaches the bridge.
  const velmora::testing::TempDir dir;
  const std::string capture = (dir.path() / "capture-é.txt").string();
  OnBridge([&] { Bridge().StartCapture(capture); });
  auto* word = Find<QLabel>("StatusPanel2");
  ASSERT_TRUE(QTest::qWaitFor([&] { return word->isVisible(); }, kWaitMs));
  EXPECT_EQ(word->text(), "capture : capture-é.txt");
  EXPECT_FALSE(startCapture->isEnabled());
  EXPECT_TRUE(stopCapture->isEnabled());
  stopCapture->trigger();
  EXPECT_TRUE(WaitShown([&](const core::WindowSnapshot& shown) {
    return !shown.log.empty() &&
           shown.log.back() == "[Capture] - " + capture + " : capture arrêtée";
  }));
  EXPECT_FALSE(word->isVisible());
  EXPECT_TRUE(startCapture->isEnabled());
  EXPECT_FALSE(stopCapture->isEnabled());

  // "Index de l'aide" does nothing at all.
  const auto reported = reports.size();
  help[0]->trigger();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(reports.size(), reported);

  file[0]->trigger();
  EXPECT_FALSE(window->isVisible()) << "Quitter closes the window";
}

TEST_F(MainWindowTest, DrawsTheModelAsItChanges) {
  StartWithDevices();
  EXPECT_EQ(Find<QComboBox>("cbMIDIIn")->count(), 2);
  EXPECT_EQ(Find<QComboBox>("cbMIDIIn")->currentText(), "Keyboard");
  EXPECT_EQ(Find<QComboBox>("cbMIDIOut")->currentText(), "Synth");
  EXPECT_EQ(CentrePixel("shMidiOut"), QColor(0, 255, 0));
  EXPECT_EQ(CentrePixel("shComPort"), QColor(255, 0, 0)) << "no serial device";
  for (const char* name : {"ledCPRx", "ledCPTx", "LedMidiIn", "LedMidiOut"}) {
    auto* lamp = Find<ui::qt::TApdStatusLight>(name);
    EXPECT_FALSE(lamp->Lit());
    EXPECT_EQ(lamp->NotLitColor(), serial::clNavy);
  }
  EXPECT_EQ(Find<ui::qt::TApdStatusLight>("ApdStatusLight2")->LitColor(), serial::clRed);
  EXPECT_TRUE(reports.empty()) << "start-up never shows a box";

  // A message in: its log line, and the MIDI In lamp lit at least one frame, then dark.
  OnBridge([&] { factory.input->Receive(0x640090); });
  ASSERT_TRUE(WaitShown([](const core::WindowSnapshot& shown) {
    return !shown.log.empty() && shown.log.back() == "[MIDI-In] - 90 00 64 (Note On)";
  }));
  auto* midiIn = Find<ui::qt::TApdStatusLight>("LedMidiIn");
  EXPECT_TRUE(QTest::qWaitFor([&] { return midiIn->Lit(); }, kWaitMs));
  EXPECT_TRUE(QTest::qWaitFor([&] { return !midiIn->Lit(); }, kWaitMs));
  const QModelIndex newest = Find<QListView>("lstLog")->currentIndex();
  EXPECT_EQ(newest.data().toString(), "[MIDI-In] - 90 00 64 (Note On)");
  EXPECT_EQ(newest.data(Qt::ToolTipRole), newest.data());

  // A loss: "Erreur MIDI" lit, its reason under the pointer and in the first panel.
  OnBridge([&] {
    Bridge().CloseMidiOut();
    const std::uint8_t note[] = {0x90, 0x3C};
    Bridge().SendMidiBytes(note, 2);
  });
  auto* error = Find<ui::qt::TApdStatusLight>("ApdStatusLight2");
  ASSERT_TRUE(QTest::qWaitFor([&] { return error->Lit(); }, kWaitMs));
  EXPECT_NE(error->toolTip().indexOf("sortie MIDI fermée"), -1) << error->toolTip().toStdString();
  // The panel: the time and the cause; the count is the counters'.
  EXPECT_EQ(Find<QLabel>("StatusPanel0")->text().toStdString(),
            ui::PanelNote(error->toolTip().toStdString()));
  EXPECT_TRUE(
      Find<QLabel>("StatusPanel0")->text().endsWith(QString::fromUtf8("sortie MIDI fermée")));
  EXPECT_TRUE(reports.empty()) << "a loss is no box";
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return Find<QLabel>("lblCountsToMidi")->text() == "RS232 → MIDI : 0 message, 1 perdu";
      },
      kWaitMs));
  EXPECT_EQ(Find<QLabel>("lblCountsToSerial")->text(), "MIDI → RS232 : 0 message, 1 perdu")
      << "no serial device for the note";
}

TEST_F(MainWindowTest, TheUsersActionsReachTheBridge) {
  StartWithDevices();
  auto* outputs = Find<QComboBox>("cbMIDIOut");
  outputs->setCurrentIndex(1);
  emit outputs->activated(1);
  EXPECT_TRUE(WaitShown([](const core::WindowSnapshot& shown) {
    const auto& list = shown.lists[static_cast<std::size_t>(DeviceList::MidiOut)];
    return list.selected == 1 && shown.shapes[2] == core::kOpenColor;
  }));
  std::string chosen;
  OnBridge([&] { chosen = factory.output->ProductName(); });
  EXPECT_EQ(chosen, "Sampler");

  // A choice that fails is answered with a box: "Synth" went, the list does not know it yet.
  OnBridge([&] { factory.output->names = {"Sampler"}; });
  outputs->setCurrentIndex(0);
  emit outputs->activated(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, kWaitMs));
  EXPECT_NE(reports[0].find("Synth"), std::string::npos) << reports[0];

  // "Reset" darkens the error lamp a loss lit; "Effacer" empties the log.
  OnBridge([&] {
    const std::uint8_t note[] = {0x90, 0x3C};
    Bridge().SendMidiBytes(note, 2);
  });
  auto* error = Find<ui::qt::TApdStatusLight>("ApdStatusLight2");
  ASSERT_TRUE(QTest::qWaitFor([&] { return error->Lit(); }, kWaitMs));
  QTest::mouseClick(Find("Button1"), Qt::LeftButton);
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return !error->Lit() && error->toolTip().isEmpty(); }, kWaitMs));
  QTest::mouseClick(Find("btnLogClear"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Find<QListView>("lstLog")->model()->rowCount() == 0; },
                              kWaitMs));
}

TEST_F(MainWindowTest, ClosingHidesTheWindowAtOnceAndTheBridgeThenClosesItsDevices) {
  StartWithDevices();
  window->close();
  EXPECT_FALSE(window->isVisible());
  // The model says so once the devices are closed and released.
  EXPECT_TRUE(WaitShown([](const core::WindowSnapshot& shown) { return shown.closed; }));
}

// Every text the window draws is French and whole, the widest each place may show included,
// and Qt's own boxes speak French.
TEST_F(MainWindowTest, EveryTextIsFrenchAndWholeAtItsWidest) {
  Start();
  const auto whole = [](const QWidget* widget, const QString& text) {
    return widget->fontMetrics().horizontalAdvance(text) <= widget->contentsRect().width();
  };
  for (const QLabel* label : window->findChildren<QLabel*>()) {
    if (label->isVisible() && !label->text().isEmpty()) {
      EXPECT_TRUE(whole(label, label->text())) << label->text().toStdString();
    }
  }
  for (const QPushButton* button : window->findChildren<QPushButton*>()) {
    // The text and a margin each side: Qt's least button width is wider than the form's.
    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 8, button->width())
        << button->text().toStdString();
  }
  EXPECT_EQ(Find<QPushButton>("btnPanic")->text(), "Tout arrêter");
  const struct {
    const char* name;
    std::vector<std::string> widest;
  } places[] = {{"lblCountsToMidi", ui::WidestCountsTexts()},
                {"lblCountsToSerial", ui::WidestCountsTexts()},
                {"StatusPanel0", ui::WidestCauseTexts()}};
  for (const auto& place : places) {
    auto* label = Find<QLabel>(place.name);
    for (const auto& text : place.widest) {
      label->setText(QString::fromStdString(text));
      QApplication::processEvents();  // the status bar lays its panels out again
      EXPECT_TRUE(whole(label, label->text())) << place.name << ": " << text;
      EXPECT_LE(label->geometry().right(), label->parentWidget()->contentsRect().right())
          << place.name;
    }
  }

  QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Save | QMessageBox::Cancel);
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), "Annuler") << "Qt's French translations";
}

// "Tout arrêter", by its button and by Ctrl+Espace, reaches the bridge: one line each time.
TEST_F(MainWindowTest, PanicByButtonAndByCtrlSpace) {
  StartWithDevices();
  const auto panics = [this] {
    return static_cast<int>(
        std::count(window->Shown().log.begin(), window->Shown().log.end(), core::kPanicLine));
  };
  QTest::mouseClick(Find("btnPanic"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return panics() == 1; }, kWaitMs));
  window->activateWindow();
  QTest::keyClick(window.get(), Qt::Key_Space, Qt::ControlModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return panics() == 2; }, kWaitMs));
  std::size_t sent = 0;
  OnBridge([&] { sent = factory.output->sent.size(); });
  EXPECT_EQ(sent, 2u * 48);
}

}  // namespace
}  // namespace velmora::test
