#include <QAction>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include "ui/WindowFixture.h"
#include "ui/qt/AboutBox.h"

namespace velmora::test {
namespace {

using ui::qt::TfmAbout;

class AboutBoxTest : public WindowFixture {
 protected:
  // A click as the user makes it, which modality may block (a click sent to the widget
  // itself would bypass it); whether the button took it.
  bool ClickThroughTheWindowSystem(const char* name) {
    auto* button = Find<QPushButton>(name);
    if (button == nullptr) return false;
    QSignalSpy clicked(button, &QPushButton::clicked);
    const QPoint at = button->mapTo(window.get(), button->rect().center());
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, at);  // delivered at once
    QCoreApplication::processEvents();
    return clicked.count() == 1;
  }

  // Chooses "A propos..." and runs `inside` once the box is up; returns when it has closed.
  void OpenAbout(const std::function<void(TfmAbout&)>& inside) {
    bool ran = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* about = qobject_cast<TfmAbout*>(QApplication::activeModalWidget());
      if (about == nullptr || ran) return;
      ran = true;
      poll.stop();
      inside(*about);
      if (about->isVisible())
        QTest::mouseClick(about->findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    });
    poll.start();
    QAction* action = window->findChild<QAction*>("ActAppAbout");
    ASSERT_NE(action, nullptr);
    action->trigger();  // returns when the modal box has closed
    EXPECT_TRUE(ran);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  }
};

TEST_F(AboutBoxTest, ShowsTheProgramsTextsAndVersion) {
  Start();
  OpenAbout([](TfmAbout& about) {
    EXPECT_EQ(about.windowTitle(), "A propos...");
    EXPECT_EQ(about.size(), QSize(305, 193));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    const auto text = [&](const char* name) {
      auto* label = about.findChild<QLabel*>(name);
      return label ? label->text() : QString("<missing %1>").arg(name);
    };
    EXPECT_EQ(text("TitleLabel1") + text("TitleLabel2"), "Velmora");
    EXPECT_EQ(text("Label2"), "Passerelle expérimentale MIDI / Port série");
    EXPECT_EQ(text("Version"), "Version :");
    EXPECT_EQ(text("Copyright"), "Copyright :");
    EXPECT_EQ(text("Comments"), "Commentaires :");
    EXPECT_EQ(text("InfoLabel1"), "0.1.0.7");
    EXPECT_FALSE(text("InfoLabel2").isEmpty());
    EXPECT_FALSE(text("InfoLabel3").isEmpty());
    EXPECT_EQ(text("lblThanks"), "Remerciements");
    EXPECT_FALSE(about.findChild<QLabel*>("lblInitStatus")->isVisible());
    auto* icon = about.findChild<QLabel*>("ProgramIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull()) << "the program's icon is shown";
    EXPECT_EQ(about.Thanks().Lines().size(), 2);
    auto* ok = about.findChild<QPushButton*>("btnOK");
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->text(), "OK");
  });
}

TEST_F(AboutBoxTest, OpenedTwiceItStartsFreshAndBlocksTheMainWindow) {
  Start();  // its log has start-up's own lines
  const auto logged = [this] { return Find<QListView>("lstLog")->model()->rowCount(); };
  ASSERT_GT(logged(), 0);
  int reached = 0;
  OpenAbout([&](TfmAbout& about) {
    EXPECT_TRUE(about.isModal());
    EXPECT_TRUE(about.Thanks().Scrolling());
    ASSERT_TRUE(QTest::qWaitFor([&] { return about.Thanks().Offset() >= 10; }, kWaitMs));
    reached = about.Thanks().Offset();
    EXPECT_FALSE(ClickThroughTheWindowSystem("btnLogClear")) << "the main window reacts";
  });
  OpenAbout([&](TfmAbout& about) {
    EXPECT_TRUE(about.Thanks().Scrolling());
    EXPECT_LT(about.Thanks().Offset(), reached) << "the thanks scroll from the start again";
  });
  // The window reacts again once the box has gone.
  EXPECT_TRUE(ClickThroughTheWindowSystem("btnLogClear"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return logged() == 0; }, kWaitMs));
}

TEST_F(AboutBoxTest, ATerminationRequestClosesTheBoxAndTheWindow) {
  factory.inputs = {"Keyboard"};
  factory.outputs = {"Synth"};
  Start();
  OpenAbout([&](TfmAbout& about) {
    window->CloseAll();
    EXPECT_FALSE(about.isVisible());
  });
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(WaitShown([](const core::WindowSnapshot& shown) { return shown.closed; }))
      << "the bridge closed its devices";
}

TEST(AboutBox, ClosingStopsTheScrolling) {
  TfmAbout about(nullptr);
  EXPECT_TRUE(about.Thanks().Scrolling());
  about.show();
  about.reject();
  EXPECT_FALSE(about.Thanks().Scrolling());
}

}  // namespace
}  // namespace velmora::test
