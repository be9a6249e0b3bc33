// The program's main block: application object, bridge core, main window, message loop, then
// the bridge core's finalization.

#include <QApplication>
#include <QIcon>
#include <cstdio>

#include "Screenshots.h"
#include "core/Bridge.h"
#include "core/RealDeviceFactory.h"
#include "ui/qt/MainWindow.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/SignalCloser.h"

namespace qtui = velmora::ui::qt;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(qtui::ProgramInfo::kName));
  QApplication::setApplicationVersion(QString::fromUtf8(qtui::ProgramInfo::kFileVersion));
  QApplication::setWindowIcon(QIcon(QString::fromUtf8(qtui::ProgramInfo::kIcon)));

  velmora::core::RealDeviceFactory factory;
  velmora::core::Bridge bridge(factory);

  int result = 0;
  {
    qtui::MainWindow window(bridge);
    // A termination request closes the window like the user would, through the event loop.
    qtui::SignalCloser closer([&window](int) { window.CloseAll(); });
    if (const QByteArray directory = qgetenv("VELMORA_SCREENSHOTS"); !directory.isEmpty()) {
      velmora::app::TakeScreenshots(window, QString::fromLocal8Bit(directory));
    }
    window.show();
    result = QApplication::exec();
    // The devices go while the window's lamps, which the light controller drives, still exist.
    bridge.Finalize();
  }
  // Losses are counted quietly while playing; whoever started the program from a terminal
  // (or a soak test) learns of them here.
  if (bridge.MidiInRefused > 0) {
    std::fprintf(stderr, "velmora: %llu MIDI messages lost: the MIDI input's buffer was full\n",
                 static_cast<unsigned long long>(bridge.MidiInRefused));
  }
  if (bridge.ComTxRefused > 0) {
    std::fprintf(stderr,
                 "velmora: %llu MIDI messages not sent: the serial port's output buffer was full\n",
                 static_cast<unsigned long long>(bridge.ComTxRefused));
  }
  return result;
}
