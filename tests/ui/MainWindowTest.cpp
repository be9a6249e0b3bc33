#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>

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
    QWidget* widget = Find(name);
    return widget->grab().toImage().pixelColor(widget->width() / 2, widget->height() / 2);
  }
};

TEST_F(MainWindowTest, ControlsSitWhereTheFormPutsThemWithTheirTexts) {
  Start();
  EXPECT_EQ(window->windowTitle(), "Velmora");
  EXPECT_EQ(window->centralWidget()->size(), QSize(377, 341));
  EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the window is not resizable";

  const struct {
    const char* name;
    QRect geometry;
  } boxes[] = {
      {"shComPort", {16, 16, 17, 22}},        {"cbComPort", {40, 16, 249, 22}},
      {"shMidiIn", {16, 48, 17, 22}},         {"cbMIDIIn", {40, 48, 249, 22}},
      {"shMidiOut", {16, 80, 17, 22}},        {"cbMIDIOut", {40, 80, 249, 22}},
      {"lstLog", {16, 136, 345, 97}},         {"ledCPRx", {16, 248, 13, 13}},
      {"LedMidiOut", {128, 248, 13, 13}},     {"LedMidiIn", {16, 264, 13, 13}},
      {"ledCPTx", {128, 264, 13, 13}},        {"btnLogClear", {312, 248, 49, 20}},
      {"ApdStatusLight2", {16, 296, 13, 13}}, {"ApdStatusLight1", {128, 296, 13, 13}},
      {"Button1", {312, 296, 49, 20}},        {"StatusBar1", {0, 322, 377, 19}},
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
  ASSERT_EQ(file.size(), 3);
  EXPECT_EQ(file[0]->text(), "Paramètres du port...");
  EXPECT_TRUE(file[1]->isSeparator());
  file.removeFirst();
  file.removeFirst();
  EXPECT_EQ(file[0]->text(), "Quitter");
  const QList<QAction*> help = menus[1]->menu()->actions();
  ASSERT_EQ(help.size(), 3);
  EXPECT_EQ(help[0]->text(), "Index de l'aide");
  EXPECT_TRUE(help[1]->isSeparator());
  EXPECT_EQ(help[2]->text(), "A propos...");
  for (QAction* action : {file[0], help[0], help[2]}) EXPECT_EQ(action->toolTip(), action->text());

  // "Index de l'aide" does nothing at all; "Reset" darkens the error lamps and nothing else.
  const auto reported = reports.size();
  window->LogClear();  // start-up's own lines
  window->Form().AddLogLine("line");
  help[0]->trigger();
  window->SetLampLit(Lamp::MidiError, true);
  window->SetLampLit(Lamp::ComError, true);
  QTest::mouseClick(Find("Button1"), Qt::LeftButton);
  EXPECT_FALSE(Find<ui::qt::TApdStatusLight>("ApdStatusLight2")->Lit());
  EXPECT_FALSE(Find<ui::qt::TApdStatusLight>("ApdStatusLight1")->Lit());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->LogCount(), 1);
  EXPECT_EQ(reports.size(), reported);

  file[0]->trigger();
  EXPECT_FALSE(window->isVisible()) << "Quitter closes the window";
}

TEST_F(MainWindowTest, LampsAndShapesStartAsTheFormDefinesThem) {
  Start();
  for (Lamp lamp : {Lamp::CPTx, Lamp::CPRx, Lamp::MidiIn, Lamp::MidiOut}) {
    auto& light = window->LampOf(lamp);
    EXPECT_FALSE(light.Lit());
    EXPECT_EQ(light.LitColor(), serial::clLime);
    EXPECT_EQ(light.NotLitColor(), serial::clNavy);
  }
  for (const char* name : {"ApdStatusLight1", "ApdStatusLight2"}) {
    auto* light = Find<ui::qt::TApdStatusLight>(name);
    EXPECT_FALSE(light->Lit());
    EXPECT_EQ(light->NotLitColor(), serial::clGray);
    EXPECT_EQ(light->LitColor(), serial::clRed);
  }
  // Without devices both MIDI shapes end red: gray means switching only.
  EXPECT_EQ(window->ShapeColor(Shape::MidiIn), serial::clRed);
  EXPECT_EQ(window->ShapeColor(Shape::MidiOut), serial::clRed);
  EXPECT_EQ(CentrePixel("shMidiIn"), ui::qt::ToQColor(serial::clRed));
  EXPECT_TRUE(reports.empty()) << "start-up never shows a box";
}

TEST_F(MainWindowTest, StartUpSelectsAndOpensTheFirstMidiDevices) {
  StartWithDevices();
  EXPECT_EQ(window->ListCount(DeviceList::MidiIn), 2);
  EXPECT_EQ(window->ListSelectedText(DeviceList::MidiIn), "Keyboard");
  EXPECT_EQ(window->ListSelectedText(DeviceList::MidiOut), "Synth");
  EXPECT_EQ(window->ShapeColor(Shape::MidiIn), core::kOpenColor);
  EXPECT_EQ(CentrePixel("shMidiOut"), QColor(0, 255, 0));
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(window->ScreenCursor(), core::Cursor::Default);
}

TEST_F(MainWindowTest, ChoosingAnotherOutputReopensIt) {
  StartWithDevices();
  auto* list = Find<QComboBox>("cbMIDIOut");
  list->setCurrentIndex(1);
  emit list->activated(1);
  EXPECT_EQ(factory.output->ProductName(), "Sampler");
  EXPECT_TRUE(factory.output->IsOpen());
  EXPECT_EQ(factory.output->closes, 1);
  EXPECT_EQ(window->ShapeColor(Shape::MidiOut), core::kOpenColor);
}

TEST_F(MainWindowTest, NoOutputDeviceIsLoggedAtStartAndReportedWhenThePlaceholderIsChosen) {
  factory.inputs = {"Keyboard"};
  Start();
  EXPECT_EQ(window->ListCount(DeviceList::MidiOut), 1);
  EXPECT_EQ(window->ListItem(DeviceList::MidiOut, 0), core::kNoMidiPort);
  EXPECT_EQ(window->ListSelected(DeviceList::MidiOut), -1);
  EXPECT_TRUE(reports.empty()) << "start-up never shows a box";
  ASSERT_GE(window->LogCount(), 1);
  EXPECT_EQ(window->LogLine(0), "[Midi-Out] - aucun port MIDI");  // the destination first
  EXPECT_EQ(window->ShapeColor(Shape::MidiOut), core::kClosedColor);

  clock.advance(std::chrono::seconds(3));
  auto* list = Find<QComboBox>("cbMIDIOut");
  list->setCurrentIndex(0);
  emit list->activated(0);
  ASSERT_EQ(reports.size(), 1u);  // the user's own choice is answered
  EXPECT_EQ(reports[0], "MIDI output device \"Port non spécifié\" not found");
  EXPECT_EQ(window->ShapeColor(Shape::MidiOut), core::kClosedColor);
}

TEST_F(MainWindowTest, ALossLightsErreurMidiWithoutABoxAndResetDarkensIt) {
  StartWithDevices();
  window->Form().Bridge().CloseMidiOut();
  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  window->Form().DoPacket(note, 3);
  auto* lamp = Find<ui::qt::TApdStatusLight>("ApdStatusLight2");
  EXPECT_TRUE(lamp->Lit());
  EXPECT_FALSE(Find<ui::qt::TApdStatusLight>("ApdStatusLight1")->Lit());
  EXPECT_TRUE(reports.empty());
  QTest::mouseClick(Find("Button1"), Qt::LeftButton);
  EXPECT_FALSE(lamp->Lit());
  emit Find<QComboBox>("cbMIDIOut")->activated(0);  // reopened: the episode's line
  EXPECT_EQ(window->LogLine(window->LogCount() - 1),
            "[Midi-Out] - sortie MIDI fermée : 1 message non transmis");
}

TEST_F(MainWindowTest, EffacerEmptiesTheLogAndNewLinesStartFromTheTop) {
  Start();
  for (int i = 0; i < 45; ++i) window->Form().AddLogLine("line " + std::to_string(i));
  EXPECT_EQ(window->LogCount(), 40);
  EXPECT_EQ(window->LogLine(0), "line 5");
  EXPECT_EQ(window->LogSelected(), 39);

  QTest::mouseClick(Find("btnLogClear"), Qt::LeftButton);
  EXPECT_EQ(window->LogCount(), 0);
  EXPECT_EQ(Find<QListWidget>("lstLog")->count(), 0);

  window->Form().AddLogLine("after");
  EXPECT_EQ(window->LogCount(), 1);
  EXPECT_EQ(window->LogLine(0), "after");
  EXPECT_EQ(window->LogSelected(), 0);
}

TEST_F(MainWindowTest, ABurstOfLogLinesIsPaintedOnceItEnds) {
  Start();
  auto* log = Find<QListWidget>("lstLog");
  for (int i = 0; i < 200; ++i) window->Form().AddLogLine("line " + std::to_string(i));
  // The list may lag while lines pour in, but catches up with the log once they stop.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return log->currentItem() && log->currentItem()->text() == "line 199"; }, kWaitMs));
  ASSERT_EQ(log->count(), 40);
  EXPECT_EQ(log->item(0)->text(), QStringLiteral("line 160"));
  EXPECT_EQ(log->currentRow(), 39);
}

TEST_F(MainWindowTest, MidiInputBurstKeepsTheLampLitForOneTimerInterval) {
  StartWithDevices();
  window->LogClear();  // start-up's own lines
  auto& lamp = window->LampOf(Lamp::MidiIn);
  ASSERT_FALSE(lamp.Lit());
  for (std::uint32_t note = 0; note < 8; ++note) factory.input->Receive(0x640090 | note << 8);
  EXPECT_TRUE(lamp.Lit());
  EXPECT_TRUE(window->TimerEnabled(core::Timer::MidiIn));
  EXPECT_EQ(window->LogCount(), 8);
  EXPECT_EQ(window->LogLine(0), "[MIDI-In] - 90 00 64 (Note On)");

  // Lit while the timer runs, dark from its first tick on.
  while (window->TimerEnabled(core::Timer::MidiIn)) {
    ASSERT_TRUE(lamp.Lit());
    QTest::qWait(5);
  }
  EXPECT_FALSE(lamp.Lit());
  QTest::qWait(50);
  EXPECT_FALSE(lamp.Lit()) << "the lamp stays dark until the next message";

  factory.input->Receive(0x7F3C80);
  EXPECT_TRUE(lamp.Lit());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !lamp.Lit(); }, kWaitMs));
}

TEST_F(MainWindowTest, ClosingTheWindowClosesBothMidiDevicesAndTheirShapesEndRed) {
  StartWithDevices();
  ASSERT_EQ(window->ShapeColor(Shape::MidiIn), core::kOpenColor);
  ASSERT_EQ(window->ShapeColor(Shape::MidiOut), core::kOpenColor);

  window->close();
  EXPECT_EQ(factory.input->closes, 1);
  EXPECT_EQ(factory.output->closes, 1);
  EXPECT_FALSE(factory.output->IsOpen());
  EXPECT_EQ(window->ShapeColor(Shape::MidiIn), core::kClosedColor);
  EXPECT_EQ(window->ShapeColor(Shape::MidiOut), core::kClosedColor);
  EXPECT_EQ(CentrePixel("shMidiIn"), QColor(255, 0, 0));

  window->close();
  EXPECT_EQ(factory.input->closes, 1) << "a second close does not run FormClose again";
}

}  // namespace
}  // namespace velmora::test
