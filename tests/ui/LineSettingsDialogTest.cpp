#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include "ui/qt/LineSettingsDialog.h"

namespace velmora::ui::qt {
namespace {

using serial::TParity;

TEST(LineSettingsDialog, ShowsTheLineAndTakesAnySpeedTheDeviceCanTake) {
  const core::LineSettings current{31250, 7, TParity::pMark, 2};
  LineSettingsDialog dialog(current);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Paramètres du port"));
  EXPECT_EQ(dialog.Settings(), current);

  dialog.DataBits()->setCurrentIndex(dialog.DataBits()->findText("5"));
  dialog.Parity()->setCurrentIndex(dialog.Parity()->findText("Impaire"));
  dialog.StopBits()->setCurrentIndex(dialog.StopBits()->findText("1"));
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
      EXPECT_EQ(*line,
                (core::LineSettings{QString(test.baud).trimmed().toInt(), 5, TParity::pOdd, 1}));
    } else {
      EXPECT_FALSE(dialog.Settings().has_value());
    }
  }
}

}  // namespace
}  // namespace velmora::ui::qt
