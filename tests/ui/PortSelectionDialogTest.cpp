// The port selection dialog, offscreen, over pseudo-terminals in a name space of the test's own.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <filesystem>

#include "platform/serial/SerialNames.h"
#include "support/PtyPair.h"
#include "ui/qt/PortSelectionDialog.h"

namespace velmora::ui::qt {
namespace {

namespace fs = std::filesystem;

class SelComDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(first.valid() && second.valid());
    fs::create_directories(dir.path() / "dev");
    fs::create_symlink(first.slavePath(), dir.path() / "dev/ttyV3");
    fs::create_symlink(second.slavePath(), dir.path() / "dev/ttyV7");
  }
  platform::SerialNameSpace names() const {
    return platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"});
  }

  testing::PtyPair first, second;
  testing::TempDir dir;
};

TEST_F(SelComDialogTest, ShowsTheAvailablePortsAndReadsTheChosenNumber) {
  TComSelectForm form(names());
  EXPECT_EQ(form.windowTitle(), "Select Port");
  EXPECT_EQ(form.size(), QSize(220, 131));
  const auto labels = form.findChildren<QLabel*>();
  QStringList texts;
  for (auto* label : labels) texts << label->text();
  EXPECT_TRUE(texts.contains("The configured serial port is not valid."));
  EXPECT_TRUE(texts.contains("Please choose another port."));
  EXPECT_EQ(form.OkBtn()->text(), "OK");
  EXPECT_TRUE(form.OkBtn()->isDefault());
  EXPECT_EQ(form.AbortBtn()->text(), "Cancel");
  EXPECT_FALSE(form.PortsComboBox()->isEditable());
  EXPECT_EQ(form.PortsComboBox()->width(), 201);

  ASSERT_EQ(form.PortsComboBox()->count(), 2);
  EXPECT_TRUE(form.PortsComboBox()->itemText(0).startsWith("COM1 ("));
  EXPECT_EQ(form.SelectedComNumber(), 1);
  form.PortsComboBox()->setCurrentIndex(1);
  EXPECT_EQ(form.SelectedComNumber(), 2);
}

TEST_F(SelComDialogTest, OkAcceptsAndCancelRejects) {
  TComSelectForm form(names());
  form.OkBtn()->click();
  EXPECT_EQ(form.result(), QDialog::Accepted);
  TComSelectForm other(names());
  other.AbortBtn()->click();
  EXPECT_EQ(other.result(), QDialog::Rejected);
}

TEST(SelComDialogEmpty, NothingListedGivesNoNumber) {
  testing::TempDir dir;
  fs::create_directories(dir.path() / "dev");
  TComSelectForm form(platform::SerialNameSpace({dir.path() / "dev", dir.path() / "sys"}));
  EXPECT_EQ(form.PortsComboBox()->count(), 0);
  EXPECT_EQ(form.SelectedComNumber(), 0);
}

}  // namespace
}  // namespace velmora::ui::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
