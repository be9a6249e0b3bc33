#include "ui/qt/MainWindow.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>

#include "core/Profile.h"
#include "ui/qt/AboutBox.h"
#include "ui/qt/LineSettingsDialog.h"
#include "ui/qt/MessagesDialog.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/Shape.h"
#include "ui/qt/StatusLamp.h"

namespace velmora::ui::qt {

namespace {

constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanelWidth = 50;
constexpr int kLogLineHeight = 13;
constexpr int kCountsTop = 322;    // below the form's rows: the counters
constexpr int kPanelPadding = 12;  // a sunken panel's frame and margins around its text

int WidestOf(const QFontMetrics& metrics, const std::vector<std::string>& texts) {
  int widest = 0;
  for (const auto& text : texts)
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(text)));
  return widest;
}

std::size_t at(auto value) {
  return static_cast<std::size_t>(value);
}

QFont FormFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(11);
  return font;
}

QFont LogFont() {
  QFont font(QStringLiteral("Courier"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(9);
  return font;
}

QLabel* AddLabel(QWidget* parent, const char* name, const char* text, int left, int top) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromUtf8(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

template <typename Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(QString::fromUtf8(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

}  // namespace

// The log's lines as the list shows them: the snapshot's strings, turned into text only for the
// rows on show; a line wider than the list is read whole in its tooltip.
class MainWindow::LogModel final : public QAbstractListModel {
 public:
  using QAbstractListModel::QAbstractListModel;

  void Show(const std::vector<std::string>& lines) {
    if (lines.size() == lines_.size() && !lines.empty()) {
      lines_ = lines;
      emit dataChanged(index(0), index(static_cast<int>(lines_.size()) - 1));
      return;
    }
    beginResetModel();
    lines_ = lines;
    endResetModel();
  }

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
  }
  QVariant data(const QModelIndex& at, int role) const override {
    if (!at.isValid() || at.row() >= rowCount({})) return {};
    if (role == Qt::SizeHintRole) return QSize(0, kLogLineHeight);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    return QString::fromStdString(lines_[static_cast<std::size_t>(at.row())]);
  }

 private:
  std::vector<std::string> lines_;
};

MainWindow::MainWindow(ViewLink& link, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      link_(link),
      log_(std::make_unique<LogModel>()) {
  setObjectName(QStringLiteral("fmMain"));
  setWindowTitle(QString::fromStdString(core::WindowTitle(link_.Profile())));
  setWindowIcon(QIcon(QString::fromUtf8(ProgramInfo::kIcon)));
  setFont(FormFont());

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  setCentralWidget(client);
  buildControls(client);
  buildMenu();
  // The status bar lies inside the client area, as the form has it.
  setFixedSize(client->width(), kClientHeight + menuBar()->sizeHint().height());

  // The bridge thread wakes us after each snapshot; one draw waits in Qt's queue at most.
  link_.SetWake([this] {
    if (wakeQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
          wakeQueued_ = false;
          ShowSnapshot();
        },
        Qt::QueuedConnection);
  });
  ShowSnapshot();
}

MainWindow::~MainWindow() {
  link_.SetWake(nullptr);
  lstLog_->setModel(nullptr);  // the model goes before the list, a child, does
  if (shown_.busy) QApplication::restoreOverrideCursor();
}

void MainWindow::buildControls(QWidget* client) {
  using core::DeviceList;
  using core::Lamp;
  using core::Shape;
  struct Row {
    Shape shape;
    DeviceList list;
    const char* shapeName;
    const char* listName;
    const char* labelName;
    const char* labelText;
    int top;
  };
  const Row rows[] = {
      {Shape::ComPort, DeviceList::ComPort, "shComPort", "cbComPort", "Label1", "RS232", 16},
      {Shape::MidiIn, DeviceList::MidiIn, "shMidiIn", "cbMIDIIn", "Label4", "MIDI In", 48},
      {Shape::MidiOut, DeviceList::MidiOut, "shMidiOut", "cbMIDIOut", "Label3", "MIDI Out", 80},
  };
  for (const Row& row : rows) {
    auto* shape = Place(new TShape(client), row.shapeName, 16, row.top, 17, 22);
    shape->SetBrushColor(serial::clGray);
    shapes_[at(row.shape)] = shape;
    auto* list = Place(new QComboBox(client), row.listName, 40, row.top, 249, 22);
    list->setEditable(false);
    lists_[at(row.list)] = list;
    AddLabel(client, row.labelName, row.labelText, 296, row.top + 8);
  }
  // A choice is posted by its entry's text, which names the device: an index could point at
  // another device once the list has changed on the bridge's side.
  for (const Row& row : rows) {
    QComboBox* list = lists_[at(row.list)];
    connect(list, &QComboBox::activated, this, [this, list, which = row.list](int index) {
      link_.Post(Action::Choose(which, list->itemText(index).toStdString()));
    });
  }

  AddLabel(client, "Label5", "Evenements récents (le plus récent en fin de liste)", 16, 120);
  lstLog_ = Place(new QListView(client), "lstLog", 16, 136, 345, 97);
  lstLog_->setModel(log_.get());
  logTimer_ = new QTimer(this);
  logTimer_->setSingleShot(true);
  connect(logTimer_, &QTimer::timeout, this, [this] { showLog(shown_.log, shown_.logSelected); });
  lstLog_->setFont(LogFont());
  lstLog_->setUniformItemSizes(true);
  lstLog_->setSelectionMode(QAbstractItemView::SingleSelection);

  struct LampRow {
    Lamp lamp;
    const char* name;
    int left;
    int top;
    const char* labelName;
    const char* labelText;
  };
  const LampRow lampRows[] = {
      {Lamp::CPRx, "ledCPRx", 16, 248, "Label2", "RS232 In (RX)"},
      {Lamp::MidiOut, "LedMidiOut", 128, 248, "Label7", "MIDI Out"},
      {Lamp::MidiIn, "LedMidiIn", 16, 264, "Label8", "MIDI In"},
      {Lamp::CPTx, "ledCPTx", 128, 264, "Label6", "RS232 Out (TX)"},
  };
  for (const LampRow& row : lampRows) {
    auto* lamp = new TApdStatusLight(client);
    lamp->setObjectName(QString::fromUtf8(row.name));
    lamp->SetBounds(row.left, row.top, 13, 13);
    lamp->SetLitColor(serial::clLime);
    lamp->SetNotLitColor(serial::clNavy);
    lamps_[at(row.lamp)] = lamp;
    AddLabel(client, row.labelName, row.labelText, row.left + 24, row.top);
  }

  auto* clear =
      Place(new QPushButton(QStringLiteral("Effacer"), client), "btnLogClear", 312, 248, 49, 20);
  connect(clear, &QPushButton::clicked, this,
          [this] { link_.Post(Action(Action::Kind::ClearLog)); });

  auto* bevel = Place(new QFrame(client), "Bevel1", 8, 288, 361, 2);
  bevel->setFrameShape(QFrame::HLine);
  bevel->setFrameShadow(QFrame::Sunken);

  // Lit by what a forwarding path loses; "Reset" darkens them.
  const struct {
    Lamp lamp;
    const char* name;
    int left;
    const char* labelName;
    const char* labelText;
  } errorLamps[] = {{Lamp::MidiError, "ApdStatusLight2", 16, "Label10", "Erreur MIDI"},
                    {Lamp::ComError, "ApdStatusLight1", 128, "Label9", "Erreur RS232"}};
  for (const auto& row : errorLamps) {
    auto* lamp = new TApdStatusLight(client);
    lamp->setObjectName(QString::fromUtf8(row.name));
    lamp->SetBounds(row.left, 296, 13, 13);
    lamp->SetNotLitColor(serial::clGray);
    lamps_[at(row.lamp)] = lamp;
    AddLabel(client, row.labelName, row.labelText, row.left + 24, 296);
  }
  auto* reset =
      Place(new QPushButton(QStringLiteral("Reset"), client), "Button1", 312, 296, 49, 20);
  connect(reset, &QPushButton::clicked, this, [this] { link_.Post(Action(Action::Kind::Reset)); });

  // "Tout arrêter" between the error lamps and "Reset"; the counters on a row of their own. Sized
  // from the font: the window grows rather than cut.
  const QFontMetrics metrics(font());
  auto* panic = new QPushButton(QString::fromUtf8("Tout arrêter"), client);
  panic->setObjectName(QStringLiteral("btnPanic"));
  panic->setToolTip(QString::fromUtf8("Tout arrêter (Ctrl+Espace)"));
  const int panicWidth = metrics.horizontalAdvance(panic->text()) + 16;
  panic->setGeometry(312 - 6 - panicWidth, 296, panicWidth, 20);
  connect(panic, &QPushButton::clicked, this, [this] { Panic(); });
  const int countsWidth = WidestOf(metrics, WidestCountsTexts());
  const int cause = WidestOf(metrics, WidestCauseTexts()) + kPanelPadding;
  const int line =
      metrics.horizontalAdvance(QStringLiteral("50,460800,8,2,pSpace")) + kPanelPadding;
  const int width = std::max({kClientWidth, 16 + countsWidth + 16, cause + line});
  client->setFixedSize(width, kClientHeight);
  for (std::size_t row = 0; row < counts_.size(); ++row) {
    auto* label = new QLabel(client);
    label->setObjectName(row == 0 ? QStringLiteral("lblCountsToMidi")
                                  : QStringLiteral("lblCountsToSerial"));
    label->setGeometry(16, kCountsTop + static_cast<int>(row) * 14, width - 32, 13);
    counts_[row] = label;
  }
  showCounts({});

  auto* status = Place(new QStatusBar(client), "StatusBar1", 0, kClientHeight - kStatusBarHeight,
                       width, kStatusBarHeight);
  status->setSizeGripEnabled(false);
  // The cause takes what the line and the capture leave.
  for (std::size_t panel = 0; panel < statusPanels_.size(); ++panel) {
    auto* label = new QLabel(status);
    label->setObjectName(QStringLiteral("StatusPanel%1").arg(panel));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(kStatusPanelWidth);
    status->addWidget(label, panel == 0 ? 1 : 0);
    statusPanels_[panel] = label;
    // A cause longer than its room (the system's words) never pushes the line's panel away.
    if (panel == 0) label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }
  statusPanels_[2]->hide();

  QWidget::setTabOrder(lists_[at(DeviceList::ComPort)], lists_[at(DeviceList::MidiOut)]);
  QWidget::setTabOrder(lists_[at(DeviceList::MidiOut)], lists_[at(DeviceList::MidiIn)]);
  QWidget::setTabOrder(lists_[at(DeviceList::MidiIn)], lstLog_);
  QWidget::setTabOrder(lstLog_, client->findChild<QPushButton*>(QStringLiteral("Button1")));
  QWidget::setTabOrder(client->findChild<QPushButton*>(QStringLiteral("Button1")), clear);
  QWidget::setTabOrder(clear, panic);  // last: the form's own order comes first
}

void MainWindow::buildMenu() {
  auto* menu = new QMenuBar(this);
  menu->setObjectName(QStringLiteral("MainMenu1"));
  const auto action = [this](const char* name, const char* caption) {
    auto* item = new QAction(QString::fromUtf8(caption), this);
    item->setObjectName(QString::fromUtf8(name));
    item->setToolTip(item->text());
    return item;
  };
  QAction* portSettings = action("ActPortSettings", "Paramètres du port...");
  connect(portSettings, &QAction::triggered, this, [this] {
    if (const auto line = ChooseLineSettings(shown_.line, shown_.exactTiming, this)) {
      Action action(Action::Kind::LineSettings);
      action.line = *line;
      link_.Post(std::move(action));
    }
  });
  QAction* messages = action("ActMessages", "Messages transmis...");
  connect(messages, &QAction::triggered, this, [this] {
    ShowMessagesDialog(
        shown_.messages,
        [this](const core::MessageChoice& choice) {
          Action action(Action::Kind::Messages);
          action.messages = choice;
          link_.Post(std::move(action));
        },
        this);
  });
  QAction* capture = action("ActCaptureStart", "Capturer les octets...");
  connect(capture, &QAction::triggered, this, [this] {
    const QString file =
        QFileDialog::getSaveFileName(this, QString::fromUtf8("Capturer les octets"));
    // The path as typed: the bridge and the capture take UTF-8.
    if (file.isEmpty()) return;
    Action start(Action::Kind::StartCapture);
    start.entry = file.toStdString();
    link_.Post(std::move(start));
  });
  QAction* stopCapture = action("ActCaptureStop", "Arrêter la capture");
  connect(stopCapture, &QAction::triggered, this,
          [this] { link_.Post(Action(Action::Kind::StopCapture)); });
  captureStart_ = capture;
  captureStop_ = stopCapture;
  showCapture({});
  QAction* panic = action("ActPanic", "Tout arrêter");
  panic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Space));
  panic->setShortcutContext(Qt::WindowShortcut);
  connect(panic, &QAction::triggered, this, [this] { Panic(); });
  QAction* close = action("ActAppClose", "Quitter");
  QAction* help = action("ActAppHelp", "Index de l'aide");
  QAction* about = action("ActAppAbout", "A propos...");
  connect(close, &QAction::triggered, this, [this] { this->close(); });
  connect(about, &QAction::triggered, this, [this] { ShowAboutBox(); });

  QMenu* file = menu->addMenu(QStringLiteral("Fichier"));
  file->setObjectName(QStringLiteral("mnuFichier"));
  file->addAction(portSettings);
  file->addAction(messages);
  file->addAction(capture);
  file->addAction(stopCapture);
  file->addSeparator();
  file->addAction(panic);
  file->addSeparator();
  file->addAction(close);
  QMenu* helpMenu = menu->addMenu(QStringLiteral("Aide"));
  helpMenu->setObjectName(QStringLiteral("mnuAide"));
  helpMenu->addAction(help);
  helpMenu->addSeparator();
  helpMenu->addAction(about);
  setMenuBar(menu);
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (placed_) return;
  placed_ = true;
  const auto remembered = link_.Position();
  // Where it was left, unless no screen is there any more (one unplugged since).
  if (remembered &&
      QGuiApplication::screenAt(QPoint(remembered->x, remembered->y) + QPoint(40, 40))) {
    move(remembered->x, remembered->y);
  } else if (const QScreen* display = screen()) {
    const QRect area = display->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  placedAt_ = pos();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    // Hidden at once; the bridge closes its devices on its own thread.
    const QPoint at = pos();
    hide();
    if (placed_ && at != placedAt_) {
      Action moved(Action::Kind::Moved);
      moved.position = core::WindowPosition{at.x(), at.y()};
      link_.Post(std::move(moved));
    }
    link_.Post(Action(Action::Kind::Close));
  }
  event->accept();
}

void MainWindow::CloseAll() {
  // Each box leaves its own modal loop once control returns to it; a box that refuses to
  // close must not keep this loop going.
  for (int boxes = 0; boxes < 16; ++boxes) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == this) break;
    modal->close();
    if (QApplication::activeModalWidget() == modal) break;
  }
  close();
}

void MainWindow::Panic() {
  link_.Post(Action(Action::Kind::Panic));
}

void MainWindow::ShowAboutBox() {
  TfmAbout about(this, core::AboutLineText(shown_.line));
  about.exec();
}

QComboBox* MainWindow::combo(core::DeviceList list) const {
  return lists_[at(list)];
}

// ---- Drawing a snapshot ----------------------------------------------------------------------

void MainWindow::ShowSnapshot() {
  core::WindowSnapshot next = link_.Snapshot();
  if (next.version == shown_.version && shown_.version != 0) return;
  for (std::size_t i = 0; i < shapes_.size(); ++i) shapes_[i]->SetBrushColor(next.shapes[i]);
  for (std::size_t i = 0; i < lamps_.size(); ++i) {
    const auto& lamp = next.lamps[i];
    lamps_[i]->SetLitColor(lamp.litColor);
    lamps_[i]->SetNotLitColor(lamp.notLitColor);
    lamps_[i]->SetLit(lamp.lit);
    if (lamp.hint != shown_.lamps[i].hint) lamps_[i]->setToolTip(QString::fromStdString(lamp.hint));
  }
  for (std::size_t i = 0; i < lists_.size(); ++i) {
    const auto& list = next.lists[i];
    QComboBox* box = lists_[i];
    const QSignalBlocker quiet(box);
    if (list.items != shown_.lists[i].items ||
        box->count() != static_cast<int>(list.items.size())) {
      box->clear();
      for (const auto& item : list.items) box->addItem(QString::fromStdString(item));
    }
    box->setCurrentIndex(list.selected);
  }
  showLog(next.log, next.logSelected);
  for (std::size_t panel = 0; panel < next.status.size(); ++panel) {
    if (next.status[panel] == shown_.status[panel] && shown_.version != 0) continue;
    QLabel* label = statusPanels_[panel];
    label->setText(QString::fromStdString(next.status[panel]));
    // A cause with the system's own words may be longer than any panel: whole under the pointer.
    label->setToolTip(label->text());
  }
  if (next.counts != shown_.counts || shown_.version == 0) showCounts(next.counts);
  if (next.capture != shown_.capture) showCapture(next.capture);
  if (next.busy != shown_.busy) {
    if (next.busy) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
  }
  shown_ = std::move(next);
  showNotices();
}

void MainWindow::showCounts(const core::TrafficCounts& counts) {
  counts_[0]->setText(QString::fromStdString(CountsText(Direction::ToMidi, counts)));
  counts_[1]->setText(QString::fromStdString(CountsText(Direction::ToSerial, counts)));
}

void MainWindow::showCapture(const std::string& file) {
  captureStart_->setEnabled(file.empty());
  captureStop_->setEnabled(!file.empty());
  QLabel* word = statusPanels_[2];
  word->setVisible(!file.empty());
  word->setText(file.empty() ? QString{} : QString::fromStdString(CaptureWord(file)));
  word->setToolTip(QString::fromStdString(file));
}

void MainWindow::showLog(const std::vector<std::string>& lines, int selected) {
  if (lines == logShown_ && selected == logSelectedShown_) return;
  // Laying the rows' text out is most of a frame's cost, and lines that pour in are not read
  // one by one: the log is drawn at most every kLogInterval, the rest of the window each frame.
  if (logClock_.isValid() && logClock_.elapsed() < kLogInterval) {
    if (!logTimer_->isActive())
      logTimer_->start(kLogInterval - static_cast<int>(logClock_.elapsed()));
    return;
  }
  logClock_.start();
  logShown_ = lines;
  logSelectedShown_ = selected;
  log_->Show(lines);
  const QModelIndex at = log_->index(selected);
  lstLog_->setCurrentIndex(at);
  if (at.isValid()) lstLog_->scrollTo(at);
}

void MainWindow::showNotices() {
  // The box's own loop draws the snapshots that come meanwhile: one box at a time.
  if (noticeOpen_) return;
  std::erase_if(noticesShown_, [&](std::uint64_t id) {
    return std::none_of(shown_.notices.begin(), shown_.notices.end(),
                        [&](const core::Notice& notice) { return notice.id == id; });
  });
  for (const core::Notice& waiting : shown_.notices) {
    if (std::find(noticesShown_.begin(), noticesShown_.end(), waiting.id) != noticesShown_.end())
      continue;
    // A copy: the box's loop draws newer snapshots, which replace the one it came in.
    const core::Notice notice = waiting;
    noticeOpen_ = true;
    noticesShown_.push_back(notice.id);
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(ProgramInfo::kName),
                    QString::fromStdString(notice.text), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("Notice"));
    box.exec();
    noticeOpen_ = false;
    Action closed(Action::Kind::NoticeClosed);
    closed.notice = notice.id;
    link_.Post(std::move(closed));
    return;  // the next one comes with the next snapshot
  }
}

}  // namespace velmora::ui::qt
