#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "core/SerialDeviceAdapters.h"
#include "support/PtyPair.h"
#include "ui/WindowFixture.h"
#include "ui/qt/LineSettingsDialog.h"

namespace velmora::ui::qt {
namespace {

using serial::TParity;

TEST(LineSettingsDialog, ShowsTheLineAndTakesAnySpeedTheDeviceCanTake) {
  const core::LineSettings current{31250, 7, TParity::pMark, 2, core::FlowControl::XonXoff};
  LineSettingsDialog dialog(current);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Paramètres du port"));
  EXPECT_EQ(dialog.Settings(), current);

  dialog.DataBits()->setCurrentIndex(dialog.DataBits()->findText("5"));
  dialog.Parity()->setCurrentIndex(dialog.Parity()->findText("Impaire"));
  dialog.StopBits()->setCurrentIndex(dialog.StopBits()->findText("1"));
  dialog.Flow()->setCurrentIndex(dialog.Flow()->findText("RTS/CTS"));
  const struct {
    const char* baud;
    bool good;
  } cases[] = {{"115200", true},   {"250000", true}, {" 1 ", true},
               {"0", false},       {"-300", false},  {"abc", false},
               {"4000001", false}, {"", false},      {"9600,8,N,1", false}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.baud);
    dialog.Baud()->setCurrentText(QString::fromUtf8(test.baud));
    EXPECT_EQ(dialog.OkBtn()->isEnabled(), test.good);
    if (test.good) {
      const auto line = dialog.Settings();
      ASSERT_TRUE(line.has_value());
      EXPECT_EQ(*line, (core::LineSettings{QString(test.baud).trimmed().toInt(), 5, TParity::pOdd,
                                           1, core::FlowControl::RtsCts}));
    } else {
      EXPECT_FALSE(dialog.Settings().has_value());
    }
  }
}

// The timing shows only where the MIDI service moves events in cycles, and says which.
TEST(LineSettingsDialog, ShowsTheMidiTimingInForceWhereThereIsOne) {
  const struct {
    std::optional<bool> exact;
    const char* start;  // of the text shown; null: no row
  } cases[] = {{std::nullopt, nullptr}, {true, "exact :"}, {false, "rapide :"}};
  for (const auto& test : cases) {
    LineSettingsDialog dialog(core::LineSettings{}, test.exact);
    if (!test.start) {
      EXPECT_EQ(dialog.Timing(), nullptr);
      continue;
    }
    ASSERT_NE(dialog.Timing(), nullptr);
    EXPECT_TRUE(dialog.Timing()->text().startsWith(QString::fromUtf8(test.start)))
        << dialog.Timing()->text().toStdString();
  }
}

// The window over a serial port on a pseudo-terminal, opened at start-up as COM1.
class LineSettingsWindowTest : public test::WindowFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.valid());
    std::filesystem::create_directories(dir.path() / "dev");
    std::filesystem::create_symlink(pty.slavePath(), dir.path() / "dev/ttyV0");
    factory.inputs = {"Keyboard"};
    factory.outputs = {"Synth"};
    factory.comPort = [this] {
      auto port = std::make_unique<core::SerialComPortDevice>();
      port->Port().DispatcherFactory = serial::PlatformDispatcherFactory(
          platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
      return port;
    };
  }

  // Chooses "Paramètres du port..." and answers its dialog as a user would.
  void Answer(const std::function<void(LineSettingsDialog&)>& fill, bool ok) {
    bool answered = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<LineSettingsDialog*>(QApplication::activeModalWidget());
      if (!dialog || answered) return;
      answered = true;
      fill(*dialog);
      auto* button = dialog->findChild<QPushButton*>(ok ? "OkBtn" : "AbortBtn");
      ASSERT_NE(button, nullptr);
      button->click();
    });
    poll.start(10);
    Find<QAction>("ActPortSettings")->trigger();
    EXPECT_TRUE(answered);
  }

  testing::PtyPair pty;
  testing::TempDir dir;
};

TEST_F(LineSettingsWindowTest, OkSetsTheOpenPortsLineAndCancelLeavesIt) {
  Start();
  const auto status = [this](const std::string& text) {
    return WaitShown([&](const core::WindowSnapshot& shown) { return shown.status[1] == text; });
  };
  ASSERT_TRUE(status("1,38400,8,1,pNone"));

  Answer(
      [](LineSettingsDialog& dialog) {
        EXPECT_EQ(dialog.Settings(), core::LineSettings{});
        EXPECT_EQ(dialog.Timing(), nullptr) << "a MIDI service without cycles";
        dialog.Baud()->setCurrentText("31250");
        dialog.StopBits()->setCurrentIndex(dialog.StopBits()->findText("2"));
      },
      true);
  ASSERT_TRUE(status("1,31250,8,2,pNone"));
  EXPECT_EQ(pty.termios().ospeed, 31250u);
  EXPECT_TRUE(pty.termios().twoStopBits);
  bool opened = false;
  OnBridge([&] { opened = Bridge().ComPortOpened; });
  EXPECT_TRUE(opened) << "the open port takes the line without closing";

  Answer(
      [](LineSettingsDialog& dialog) {
        EXPECT_EQ(dialog.Settings(), (core::LineSettings{31250, 8, TParity::pNone, 2}));
        dialog.Baud()->setCurrentText("115200");
        dialog.Flow()->setCurrentIndex(dialog.Flow()->findText("RTS/CTS"));
      },
      false);
  OnBridge([] {});  // whatever was posted has run
  EXPECT_EQ(pty.termios().ospeed, 31250u);
  EXPECT_FALSE(pty.termios().rtsCts);
  EXPECT_EQ(reports, std::vector<std::string>{});
}

}  // namespace
}  // namespace velmora::ui::qt
