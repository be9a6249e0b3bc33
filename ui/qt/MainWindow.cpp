#include "ui/qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <stdexcept>

#include "platform/MessagePump.h"
#include "ui/qt/AboutBox.h"
#include "ui/qt/LineSettingsDialog.h"
#include "ui/qt/ProgramInfo.h"
#include "ui/qt/PumpHooks.h"
#include "ui/qt/Shape.h"
#include "ui/qt/StatusLamp.h"

namespace velmora::ui::qt {

namespace {

constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanelWidth = 50;
constexpr int kLogLineHeight = 13;

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

void CheckIndex(int index, int count) {
  if (index < 0 || index >= count) throw std::out_of_range("List index out of bounds");
}

}  // namespace

MainWindow::MainWindow(core::Bridge& bridge, const platform::Clock& clock, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      errors_(clock),
      pumpHooks_(std::make_unique<PumpHooks>()) {
  setObjectName(QStringLiteral("fmMain"));
  setWindowTitle(QString::fromUtf8(ProgramInfo::kName));
  setWindowIcon(QIcon(QString::fromUtf8(ProgramInfo::kIcon)));
  setFont(FormFont());
  platform::MessagePump::current().setErrorReport(
      [this](std::exception_ptr error) { errors_.Report(error); });

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  buildControls(client);
  buildMenu();
  // The status bar lies inside the client area, as the form has it.
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

  form_ = std::make_unique<TfmMain>(bridge, *this);
  form_->CloseWindow = [this] { close(); };
  form_->ShowAboutBox = [this] { ShowAboutBox(); };
}

MainWindow::~MainWindow() {
  form_.reset();
  platform::MessagePump::current().setErrorReport(nullptr);
  if (cursor_ == core::Cursor::HourGlass) QApplication::restoreOverrideCursor();
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
  connect(lists_[at(DeviceList::ComPort)], &QComboBox::activated, this,
          [this] { errors_.Guard([this] { form_->cbComPortChange(); }); });
  connect(lists_[at(DeviceList::MidiIn)], &QComboBox::activated, this,
          [this] { errors_.Guard([this] { form_->cbMIDIInChange(); }); });
  connect(lists_[at(DeviceList::MidiOut)], &QComboBox::activated, this,
          [this] { errors_.Guard([this] { form_->cbMIDIOutChange(); }); });

  AddLabel(client, "Label5", "Evenements récents (le plus récent en fin de liste)", 16, 120);
  lstLog_ = Place(new QListWidget(client), "lstLog", 16, 136, 345, 97);
  lstLog_->setFont(LogFont());
  lstLog_->setUniformItemSizes(true);
  lstLog_->setSelectionMode(QAbstractItemView::SingleSelection);
  // A line the user picks is the log's selection until the next line selects the newest.
  connect(lstLog_, &QListWidget::currentRowChanged, this,
          [this](int row) { log_.SetSelected(row); });
  logPaint_ = new QTimer(this);
  logPaint_->setSingleShot(true);
  logPaint_->setInterval(kLogPaintInterval);
  connect(logPaint_, &QTimer::timeout, this, [this] { showLog(); });

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
          [this] { errors_.Guard([this] { form_->btnLogClearClick(); }); });

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
  connect(reset, &QPushButton::clicked, this,
          [this] { errors_.Guard([this] { form_->Button1Click(); }); });

  auto* status = Place(new QStatusBar(client), "StatusBar1", 0, kClientHeight - kStatusBarHeight,
                       kClientWidth, kStatusBarHeight);
  status->setSizeGripEnabled(false);
  for (std::size_t panel = 0; panel < statusPanels_.size(); ++panel) {
    auto* label = new QLabel(status);
    label->setObjectName(QStringLiteral("StatusPanel%1").arg(panel));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(kStatusPanelWidth);
    status->addWidget(label, panel == 0 ? 0 : 1);
    statusPanels_[panel] = label;
  }
  statusPanels_[0]->setFixedWidth(kStatusPanelWidth);

  for (std::size_t index = 0; index < timers_.size(); ++index) {
    auto* timer = new QTimer(this);
    timer->setObjectName(index == 0 ? QStringLiteral("TimerMidiIn")
                                    : QStringLiteral("TimerMidiOut"));
    timer->setInterval(kTimerInterval);
    connect(timer, &QTimer::timeout, this, [this, index] {
      if (timerHandlers_[index]) errors_.Guard(timerHandlers_[index]);
    });
    timers_[index] = timer;
  }

  QWidget::setTabOrder(lists_[at(DeviceList::ComPort)], lists_[at(DeviceList::MidiOut)]);
  QWidget::setTabOrder(lists_[at(DeviceList::MidiOut)], lists_[at(DeviceList::MidiIn)]);
  QWidget::setTabOrder(lists_[at(DeviceList::MidiIn)], lstLog_);
  QWidget::setTabOrder(lstLog_, client->findChild<QPushButton*>(QStringLiteral("Button1")));
  QWidget::setTabOrder(client->findChild<QPushButton*>(QStringLiteral("Button1")), clear);
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
    errors_.Guard([this] {
      if (const auto line = ChooseLineSettings(form_->Bridge().PortLineSettings(), this)) {
        form_->ActPortSettingsApply(*line);
      }
    });
  });
  QAction* close = action("ActAppClose", "Quitter");
  QAction* help = action("ActAppHelp", "Index de l'aide");
  QAction* about = action("ActAppAbout", "A propos...");
  connect(close, &QAction::triggered, this,
          [this] { errors_.Guard([this] { form_->ActAppCloseExecute(); }); });
  connect(about, &QAction::triggered, this,
          [this] { errors_.Guard([this] { form_->ActAppAboutExecute(); }); });

  QMenu* file = menu->addMenu(QStringLiteral("Fichier"));
  file->setObjectName(QStringLiteral("mnuFichier"));
  file->addAction(portSettings);
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
  if (shown_) return;
  shown_ = true;
  if (const QScreen* display = screen()) {
    const QRect area = display->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  // From the event loop, so that the window is up first; it keeps painting during the
  // devices' switching delays, which let Qt process its events.
  QMetaObject::invokeMethod(
      this, [this] { runFormCreate(); }, Qt::QueuedConnection);
}

void MainWindow::runFormCreate() {
  if (formCreated_ || formClosed_) return;
  errors_.Guard([this] { form_->FormCreate(); });
  formCreated_ = true;
  if (onFormCreated_) onFormCreated_();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!formClosed_) {
    formClosed_ = true;
    errors_.Guard([this] { form_->FormClose(); });
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

void MainWindow::ShowAboutBox() {
  TfmAbout about(this, core::AboutLineText(form_->Bridge().PortLineSettings()));
  about.exec();
}

// ---- Window surface -----------------------------------------------------------------------

QComboBox* MainWindow::combo(core::DeviceList list) const {
  return lists_[at(list)];
}

void MainWindow::SetShapeColor(core::Shape shape, serial::TColor color) {
  shapes_[at(shape)]->SetBrushColor(color);
}

serial::TColor MainWindow::ShapeColor(core::Shape shape) const {
  return shapes_[at(shape)]->BrushColor();
}

serial::TApdCustomStatusLight& MainWindow::LampOf(core::Lamp lamp) {
  return *lamps_[at(lamp)];
}

void MainWindow::SetTimerEnabled(core::Timer timer, bool enabled) {
  QTimer* qtimer = timers_[at(timer)];
  if (enabled == qtimer->isActive()) return;
  if (enabled) {
    qtimer->start();
  } else {
    qtimer->stop();
  }
}

bool MainWindow::TimerEnabled(core::Timer timer) const {
  return timers_[at(timer)]->isActive();
}

void MainWindow::SetOnTimer(core::Timer timer, std::function<void()> handler) {
  timerHandlers_[at(timer)] = std::move(handler);
}

void MainWindow::ListClear(core::DeviceList list) {
  combo(list)->clear();
}

void MainWindow::ListAppend(core::DeviceList list, const std::string& text) {
  combo(list)->addItem(QString::fromStdString(text));
  // A list that was empty must not select its first entry by itself.
  if (combo(list)->count() == 1) combo(list)->setCurrentIndex(-1);
}

void MainWindow::ListDelete(core::DeviceList list, int index) {
  CheckIndex(index, ListCount(list));
  const int selected = combo(list)->currentIndex();
  combo(list)->removeItem(index);
  if (selected == index) combo(list)->setCurrentIndex(-1);
}

int MainWindow::ListCount(core::DeviceList list) const {
  return combo(list)->count();
}

std::string MainWindow::ListItem(core::DeviceList list, int index) const {
  CheckIndex(index, ListCount(list));
  return combo(list)->itemText(index).toStdString();
}

void MainWindow::ListSetSelected(core::DeviceList list, int index) {
  combo(list)->setCurrentIndex(index >= 0 && index < ListCount(list) ? index : -1);
}

int MainWindow::ListSelected(core::DeviceList list) const {
  return combo(list)->currentIndex();
}

int MainWindow::LogCount() const {
  return log_.Count();
}

void MainWindow::logChanged() {
  // Laying the lines out is most of a message's cost with the window shown, and nobody reads
  // more than a few dozen lines a second: the list shows the log at the next tick.
  if (!logPaint_->isActive()) logPaint_->start();
}

void MainWindow::showLog() {
  const QSignalBlocker quiet(lstLog_);
  const int count = log_.Count();
  while (lstLog_->count() > count) {
    std::unique_ptr<QListWidgetItem> gone(lstLog_->takeItem(lstLog_->count() - 1));
  }
  for (int row = 0; row < count; ++row) {
    const QString text = QString::fromStdString(log_.Line(row));
    if (row < lstLog_->count()) {
      QListWidgetItem* item = lstLog_->item(row);
      if (item->text() != text) {
        item->setText(text);
        item->setToolTip(text);  // a line wider than the list is read whole here
      }
    } else {
      lstLog_->addItem(text);
      lstLog_->item(row)->setSizeHint(QSize(0, kLogLineHeight));
      lstLog_->item(row)->setToolTip(text);
    }
  }
  lstLog_->setCurrentRow(log_.Selected());
  if (log_.Selected() >= 0) lstLog_->scrollToItem(lstLog_->item(log_.Selected()));
}

void MainWindow::LogDelete(int index) {
  log_.Delete(index);
  logChanged();
}

void MainWindow::LogAppend(const std::string& line) {
  log_.Append(line);
  logChanged();
}

void MainWindow::LogClear() {
  log_.Clear();
  logPaint_->stop();
  showLog();  // an emptied log shows at once: "Effacer" is a click, not traffic
}

std::string MainWindow::LogLine(int index) const {
  return log_.Line(index);
}

void MainWindow::LogSetSelected(int index) {
  log_.SetSelected(index);
  logChanged();
}

int MainWindow::LogSelected() const {
  return log_.Selected();
}

void MainWindow::SetLampHint(core::Lamp lamp, const std::string& text) {
  lamps_[at(lamp)]->setToolTip(QString::fromStdString(text));
}

void MainWindow::SetStatusText(int panel, const std::string& text) {
  QLabel* label = statusPanels_.at(static_cast<std::size_t>(panel));
  label->setText(QString::fromStdString(text));
  // A panel too narrow for its text shows it whole under the pointer.
  label->setToolTip(label->text());
}

std::string MainWindow::StatusText(int panel) const {
  return statusPanels_.at(static_cast<std::size_t>(panel))->text().toStdString();
}

void MainWindow::SetScreenCursor(core::Cursor cursor) {
  if (cursor == cursor_) return;
  cursor_ = cursor;
  if (cursor == core::Cursor::HourGlass) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void MainWindow::ProcessMessages() {
  platform::MessagePump::current().processMessages();
}

}  // namespace velmora::ui::qt
