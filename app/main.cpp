// The program's main block: the bridge on a thread of its own, the window on this one as its
// view; with --headless (and for lists, help and errors) it runs without Qt.

#include <QApplication>
#include <QIcon>
#include <cstdlib>
#include <string>
#include <vector>

#include "Screenshots.h"
#include "app/Arguments.h"
#include "app/ViewLaunch.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/SignalCloser.h"

namespace qtui = velmora::ui::qt;

int main(int argc, char** argv) {
  const auto runView = [&argc, argv](velmora::ui::ViewLink& link) {
    // Qt's own event dispatcher wakes with fewer system calls than GLib's, and the window
    // needs nothing of GLib's loop. A value the user set is kept.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(qtui::ProgramInfo::kName));
    QApplication::setApplicationVersion(QString::fromUtf8(qtui::ProgramInfo::kFileVersion));
    QApplication::setWindowIcon(QIcon(QString::fromUtf8(qtui::ProgramInfo::kIcon)));

    qtui::MainWindow window(link);
    // A termination request closes the window like the user would, through the event loop.
    qtui::SignalCloser closer([&window](int) { window.CloseAll(); });
    if (const QByteArray directory = qgetenv("VELMORA_SCREENSHOTS"); !directory.isEmpty()) {
      velmora::app::TakeScreenshots(window, QString::fromLocal8Bit(directory));
    }
    window.show();
    return QApplication::exec();
  };
  // Qt would abort without a display; the platform asked for (offscreen, say) may need none.
  const auto noDisplay = []() -> std::string {
    const auto set = [](const char* name) {
      const char* value = std::getenv(name);
      return value != nullptr && *value != '\0';
    };
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return {};
    return "pas d'affichage (DISPLAY) — utilisez velmora-headless";
  };
  return velmora::app::LaunchWithView(velmora::app::ProgramArguments(argc, argv), "velmora",
                                      runView, noDisplay);
}
