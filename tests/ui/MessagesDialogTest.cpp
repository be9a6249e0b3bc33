#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "support/PtyPair.h"
#include "ui/WindowFixture.h"
#include "ui/qt/MessagesDialog.h"

namespace velmora::ui::qt {
namespace {

using core::MessageChoice;
using core::MessageKinds;
using K = core::MessageKind;

TEST(MessagesDialog, ShowsTheChoiceAndTellsEachChangeAtOnce) {
  const MessageChoice current{{K::Channel, K::Clock}, MessageKinds::All(), false};
  std::vector<MessageChoice> told;
  MessagesDialog dialog(current, [&](const MessageChoice& choice) { told.push_back(choice); });
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Messages transmis"));
  EXPECT_EQ(dialog.Choice(), current);
  dialog.Box(true, K::Sysex)->click();
  dialog.Box(false, K::Sensing)->click();
  dialog.SerialText()->click();
  MessageChoice expected = current;
  expected.toSerial.Set(K::Sysex, true);
  expected.toMidi.Set(K::Sensing, false);
  expected.serialText = true;
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told.back(), expected);
}

class MessagesWindowTest : public test::WindowFixture {
 protected:
  // Chooses "Messages transmis..." and works its dialog as a user would, then closes it.
  void Use(const std::function<void(MessagesDialog&)>& work) {
    bool used = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<MessagesDialog*>(QApplication::activeModalWidget());
      if (!dialog || used) return;
      used = true;
      work(*dialog);
      dialog->findChild<QPushButton*>("CloseBtn")->click();
    });
    poll.start(10);
    Find<QAction>("ActMessages")->trigger();
    EXPECT_TRUE(used);
  }
  MessageChoice InForce() {
    MessageChoice choice;
    OnBridge([&] { choice = Bridge().Messages(); });
    return choice;
  }

  testing::TempDir directory;
  std::filesystem::path file = directory.path() / "velmora" / "velmora.conf";
};

TEST_F(MessagesWindowTest, EachChangeAppliesWhileTheDialogIsOpenAndIsRemembered) {
  Start(file);
  MessageChoice expected;
  expected.toSerial.Set(K::Clock, true);
  expected.serialText = true;
  Use([&](MessagesDialog& dialog) {
    EXPECT_EQ(dialog.Choice(), MessageChoice{});
    dialog.Box(true, K::Clock)->click();
    dialog.SerialText()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return InForce() == expected; }, test::kWaitMs));
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return core::LoadSettings(file).choices.messages == expected; },
                              test::kWaitMs));
  // Opened again, it shows the choice in force.
  EXPECT_TRUE(
      WaitShown([&](const core::WindowSnapshot& shown) { return shown.messages == expected; }));
  Use([&](MessagesDialog& dialog) { EXPECT_EQ(dialog.Choice(), expected); });
  EXPECT_EQ(reports, std::vector<std::string>{});
}

}  // namespace
}  // namespace velmora::ui::qt
