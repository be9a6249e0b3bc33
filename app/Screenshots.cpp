#include "Screenshots.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "ui/qt/MainWindow.h"

namespace velmora::app {

namespace {

// Long enough for the window to paint and the thanks to scroll into view.
constexpr int kSettleMs = 1500;

void Save(QWidget& widget, const QString& path) {
  if (!widget.grab().save(path))
    std::fprintf(stderr, "velmora: impossible d'écrire %s\n", qPrintable(path));
}

}  // namespace

void TakeScreenshots(ui::qt::MainWindow& window, const QString& directory) {
  QDir().mkpath(directory);
  // An error report (a machine without MIDI output shows one at start) would wait for a click
  // that never comes; it is not part of the pictures.
  auto* dismisser = new QTimer(&window);  // owned by the window
  QObject::connect(dismisser, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->reject();
  });
  dismisser->start(200);
  // The devices open on the bridge thread meanwhile.
  QTimer::singleShot(2 * kSettleMs, &window, [&window, directory] {
    {
      Save(window, directory + QStringLiteral("/main-window.png"));
      QTimer::singleShot(kSettleMs, &window, [directory] {
        if (QWidget* about = QApplication::activeModalWidget()) {
          Save(*about, directory + QStringLiteral("/about-box.png"));
          about->close();
        }
      });
      window.ShowAboutBox();
      window.close();
    }
  });
}

}  // namespace velmora::app
