#include <gtest/gtest.h>

#include <unistd.h>
#include <QCoreApplication>
#include <QFileInfo>
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

// Runs `command` with a /dev of its own that holds no serial device (private-dev.sh under
// unshare): root makes the mount name space itself, anyone else needs a user name space.
QStringList WithoutSerialDevices(const QString& command) {
  QStringList arguments;
  if (::geteuid() != 0)
    arguments << "--user"
              << "--map-root-user";
  arguments << "--mount"
            << "--propagation"
            << "private"
            << "/bin/sh" << VELMORA_PRIVATE_DEV << "-"
            << "-" << QString::number(::geteuid()) << QString::number(::getegid()) << command;
  return arguments;
}

// The program itself on a machine without MIDI or serial devices: it starts, shows its
// window, opens the about box and ends cleanly. Its screenshot option drives it.
TEST(Program, StartsWithoutDevicesShowsItsWindowsAndEnds) {
  QProcess probe;
  probe.start("unshare", WithoutSerialDevices("true"));
  if (!probe.waitForFinished(20000) || probe.exitStatus() != QProcess::NormalExit ||
      probe.exitCode() != 0) {
    GTEST_SKIP() << "no private mount name space (unshare --mount needs root or user name "
                    "spaces): the program would open the machine's serial devices";
  }
  QTemporaryDir shots;
  ASSERT_TRUE(shots.isValid());
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("VELMORA_SCREENSHOTS", shots.path());
  environment.insert("XDG_CONFIG_HOME", shots.path());
  // The profile's lock in a folder of its own: a Velmora of the machine's never meets the test's.
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  environment.insert("XDG_RUNTIME_DIR", runtime.path());
  program.setProcessEnvironment(environment);
  program.start("unshare", WithoutSerialDevices(VELMORA_PROGRAM));
  ASSERT_TRUE(program.waitForStarted(20000));
  ASSERT_TRUE(program.waitForFinished(60000)) << "the program hangs";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();

  const QImage main(shots.filePath("main-window.png"));
  ASSERT_FALSE(main.isNull());
  EXPECT_EQ(main.width(), 377);
  EXPECT_GT(main.height(), 375) << "client area and menu bar";
  const QImage about(shots.filePath("about-box.png"));
  ASSERT_FALSE(about.isNull());
  EXPECT_EQ(about.size(), QSize(305, 193));
  EXPECT_FALSE(QFileInfo::exists(shots.filePath("velmora"))) << "nothing was chosen to remember";
}

}  // namespace
}  // namespace velmora::test
