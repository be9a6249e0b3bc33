#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

#include "ui/qt/SignalCloser.h"

namespace velmora::test {
namespace {

TEST(SignalCloser, TerminationRequestsArriveOnTheEventLoop) {
  std::vector<int> received;
  {
    ui::qt::SignalCloser closer([&](int signal) { received.push_back(signal); });
    std::raise(SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 1; }, 20000));
    std::raise(SIGINT);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 20000));
  }
  EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
}

// The program itself on a machine without MIDI or serial devices: it starts, shows its
// window, opens the about box and ends cleanly. Its screenshot option drives it.
TEST(Program, StartsWithoutDevicesShowsItsWindowsAndEnds) {
  QTemporaryDir shots;
  ASSERT_TRUE(shots.isValid());
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("VELMORA_SCREENSHOTS", shots.path());
  program.setProcessEnvironment(environment);
  program.start(VELMORA_PROGRAM, {});
  ASSERT_TRUE(program.waitForStarted(20000));
  ASSERT_TRUE(program.waitForFinished(60000)) << "the program hangs";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();

  const QImage main(shots.filePath("main-window.png"));
  ASSERT_FALSE(main.isNull());
  EXPECT_EQ(main.width(), 377);
  EXPECT_GT(main.height(), 341) << "client area and menu bar";
  const QImage about(shots.filePath("about-box.png"));
  ASSERT_FALSE(about.isNull());
  EXPECT_EQ(about.size(), QSize(305, 193));
}

}  // namespace
}  // namespace velmora::test
