// The program's main block: the bridge on a thread of its own, the window on this one as its
// view; with --headless (and for lists, help and errors) it runs without Qt.

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <csignal>
#include <string>
#include <vector>

#include "Screenshots.h"
#include "app/ViewLaunch.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/QtFrench.h"
#include "ui/qt/SignalCloser.h"

namespace qtui = velmora::ui::qt;

int main(int argc, char** argv) {
  const auto runView = [&argc, argv](velmora::ui::ViewLink& link) {
    // Qt's own event dispatcher wakes with fewer system calls than GLib's, and the window
    // needs nothing of GLib's loop. A value the user set is kept.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    qtui::LoadQtFrench(app);
    QApplication::setApplicationName(QString::fromUtf8(qtui::ProgramInfo::kName));
    QApplication::setApplicationVersion(QString::fromUtf8(qtui::ProgramInfo::kFileVersion));
    QApplication::setWindowIcon(QIcon(QString::fromUtf8(qtui::ProgramInfo::kIcon)));

    qtui::MainWindow window(link);
    // A termination request closes the window like the user would, through the event loop;
    // SIGUSR1 is "Tout arrêter".
    qtui::SignalCloser closer([&window](int signal) {
      if (signal == SIGUSR1) {
        window.Panic();
      } else {
        window.CloseAll();
      }
    });
    if (const QByteArray directory = qgetenv("VELMORA_SCREENSHOTS"); !directory.isEmpty()) {
      velmora::app::TakeScreenshots(window, QString::fromLocal8Bit(directory));
    }
    window.show();
    return QApplication::exec();
  };
  // The profile already runs: said on stderr, and in a box for whoever started a window.
  const auto refused = [&argc, argv](const std::string& line) {
    QApplication app(argc, argv);
    qtui::LoadQtFrench(app);
    QMessageBox::critical(nullptr, QString::fromUtf8(qtui::ProgramInfo::kName),
                          QString::fromStdString(line));
  };
  return velmora::app::LaunchWithView(std::vector<std::string>(argv + 1, argv + argc), "velmora",
                                      runView, refused);
}
