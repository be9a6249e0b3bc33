// The program's main block: command line, application object, bridge core, main window,
// message loop, then the bridge core's finalization. With --headless it runs without Qt.

#include <QApplication>
#include <QIcon>
#include <optional>
#include <string>
#include <vector>

#include "Screenshots.h"
#include "app/Launch.h"
#include "core/Bridge.h"
#include "core/Settings.h"
#include "ui/qt/ChoiceMemory.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/MidiInputWatch.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/SignalCloser.h"

namespace qtui = velmora::ui::qt;

int main(int argc, char** argv) {
  const auto runWindow = [&argc, argv](velmora::core::Bridge& bridge,
                                       velmora::core::SettingsStore& settings,
                                       velmora::platform::midi::MidiService& midi) {
    // Qt's own event dispatcher wakes for a message with fewer system calls than GLib's, and
    // the window needs nothing of GLib's loop. A value the user set is kept.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(qtui::ProgramInfo::kName));
    QApplication::setApplicationVersion(QString::fromUtf8(qtui::ProgramInfo::kFileVersion));
    QApplication::setWindowIcon(QIcon(QString::fromUtf8(qtui::ProgramInfo::kIcon)));

    qtui::MidiInputWatch midiInput(midi);
    qtui::MainWindow window(bridge);
    // A termination request closes the window like the user would, through the event loop.
    qtui::SignalCloser closer([&window](int) { window.CloseAll(); });
    if (const QByteArray directory = qgetenv("VELMORA_SCREENSHOTS"); !directory.isEmpty()) {
      velmora::app::TakeScreenshots(window, QString::fromLocal8Bit(directory));
    }
    velmora::ui::qt::ChoiceMemory memory(window, settings);
    window.show();
    // Queued behind the first show's centring and start-up.
    QMetaObject::invokeMethod(
        &window, [&memory] { memory.Shown(); }, Qt::QueuedConnection);
    const int result = QApplication::exec();
    memory.Closing();
    // The devices go while the window's lamps, which the light controller drives, still exist.
    bridge.Finalize();
    return result;
  };
  return velmora::app::Launch(std::vector<std::string>(argv + 1, argv + argc), "velmora",
                              runWindow);
}
