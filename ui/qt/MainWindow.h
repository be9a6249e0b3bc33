#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPoint>
#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "core/WindowSnapshot.h"
#include "ui/ViewLink.h"

class QAction;
class QComboBox;
class QLabel;
class QListView;
class QTimer;
class QPushButton;

namespace velmora::ui::qt {

class TApdStatusLight;
class TShape;

// The main window (fmMain), a view of the bridge's window model: it draws the snapshots the
// bridge thread publishes (25 a second at most) and posts the user's actions to it. It never
// waits for the bridge. View thread (Qt's main thread) only.
class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 377;   // wider when the font's widest texts need it
  static constexpr int kClientHeight = 375;  // the form's 341, and two lines for the counters
  static constexpr int kLogInterval = 200;   // ms: the log is drawn 5 times a second at most

  explicit MainWindow(ViewLink& link, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Draws the newest snapshot now (the bridge's wake-up does it by itself).
  void ShowSnapshot();
  const core::WindowSnapshot& Shown() const { return shown_; }
  // Shows the about box modally; returns when it has been closed.
  void ShowAboutBox();
  // Closes whatever modal box is open (about box, error report), then the window: how a
  // termination request ends the program.
  void CloseAll();
  // "Tout arrêter", as its button does.
  void Panic();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls(QWidget* client);
  void buildMenu();
  void showLog(const std::vector<std::string>& lines, int selected);
  void showNotices();
  QComboBox* combo(core::DeviceList list) const;
  void showCounts(const core::TrafficCounts& counts);
  void showCapture(const std::string& file);

  class LogModel;

  ViewLink& link_;
  std::unique_ptr<LogModel> log_;            // before the list that shows it
  core::WindowSnapshot shown_;               // what is on the screen
  std::atomic<bool> wakeQueued_{false};      // a draw is queued: the bridge's wakes coalesce
  bool noticeOpen_ = false;                  // a notice's box is open (its exec runs nested draws)
  std::vector<std::uint64_t> noticesShown_;  // shown and closed, not yet gone from snapshots
  bool placed_ = false;
  QPoint placedAt_;  // where it was put at its first show: a move since is remembered
  bool closed_ = false;

  // Children of the window, which owns them.
  std::array<TShape*, 3> shapes_{};
  std::array<QComboBox*, 3> lists_{};
  std::array<TApdStatusLight*, core::kLampCount> lamps_{};
  QListView* lstLog_ = nullptr;
  QTimer* logTimer_ = nullptr;  // the log's next drawing, when lines came within its interval
  QElapsedTimer logClock_;      // since the log was last drawn
  std::vector<std::string> logShown_;
  int logSelectedShown_ = -1;
  std::array<QLabel*, 3> statusPanels_{};  // the cause, the line, the capture
  std::array<QLabel*, 2> counts_{};        // serial to MIDI, MIDI to serial
  QAction* captureStart_ = nullptr;
  QAction* captureStop_ = nullptr;
};

}  // namespace velmora::ui::qt
