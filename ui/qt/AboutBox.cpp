#include "ui/qt/AboutBox.h"

#include <QFrame>
#include <QIcon>
#include <QPainter>
#include <QPushButton>
#include <algorithm>

#include "ui/qt/Colors.h"
#include "ui/qt/ProgramInfo.h"

namespace velmora::ui::qt {

namespace {

QFont FormFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(11);
  return font;
}

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromUtf8(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

void AddBevel(QWidget* parent, const char* name, int left, int top, int width) {
  auto* bevel = new QFrame(parent);
  bevel->setObjectName(QString::fromUtf8(name));
  bevel->setGeometry(left, top, width, 2);
  bevel->setFrameShape(QFrame::HLine);
  bevel->setFrameShadow(QFrame::Sunken);
}

QPixmap Bullet() {
  QPixmap pixmap(12, 12);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0, 64, 0), 1));
  painter.setBrush(ToQColor(serial::clGreen));
  painter.drawEllipse(QRectF(2.5, 2.5, 7, 7));
  return pixmap;
}

}  // namespace

// ---- TitleLabel ---------------------------------------------------------------------------

TitleLabel::TitleLabel(const QString& text, const QColor& color, Qt::Alignment alignment,
                       QWidget* parent)
    : QLabel(text, parent), color_(color) {
  QFont font(QStringLiteral("Arial"));
  font.setBold(true);
  font.setPixelSize(24);
  setFont(font);
  setAlignment(alignment | Qt::AlignVCenter);
}

void TitleLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  const QRect area = rect().adjusted(0, 1, 0, -2);
  painter.setPen(Qt::white);
  painter.drawText(area.translated(-1, -1), static_cast<int>(alignment()), text());
  painter.setPen(Qt::gray);
  painter.drawText(area.translated(1, 1), static_cast<int>(alignment()), text());
  painter.setPen(color_);
  painter.drawText(area, static_cast<int>(alignment()), text());
}

// ---- ScrollText ---------------------------------------------------------------------------

ScrollText::ScrollText(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(kStepMs);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { step(); });
}

void ScrollText::SetLines(const QStringList& lines, const QColor& color) {
  lines_ = lines;
  color_ = color;
  update();
}

void ScrollText::SetScrolling(bool on) {
  if (on == Scrolling()) return;
  if (on) {
    offset_ = 0;
    timer_.start();
  } else {
    timer_.stop();
  }
  update();
}

int ScrollText::textHeight() const {
  return static_cast<int>(lines_.size()) * fontMetrics().height();
}

void ScrollText::step() {
  // From below the window to above it, then again.
  offset_ = (offset_ + 1) % (height() + textHeight() + 1);
  update();
}

void ScrollText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setClipRect(rect());
  painter.setPen(color_);
  const int lineHeight = fontMetrics().height();
  int top = height() - offset_;
  for (const QString& line : lines_) {
    painter.drawText(QRect(0, top, width(), lineHeight), Qt::AlignHCenter | Qt::AlignVCenter, line);
    top += lineHeight;
  }
}

// ---- TfmAbout -----------------------------------------------------------------------------

TfmAbout::TfmAbout(QWidget* owner, const std::string& comments)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("fmAbout"));
  setWindowTitle(QStringLiteral("A propos..."));
  setFont(FormFont());
  setModal(true);
  setFixedSize(kClientWidth, kClientHeight);
  build(comments);
  FormCreate();
}

void TfmAbout::build(const std::string& comments) {
  programIcon_ = new QLabel(this);
  programIcon_->setObjectName(QStringLiteral("ProgramIcon"));
  programIcon_->setGeometry(16, 16, 32, 32);
  programIcon_->setScaledContents(true);

  const QString name = QString::fromUtf8(ProgramInfo::kName);
  const qsizetype split = 3;
  auto* title1 = new TitleLabel(name.left(split), Qt::black, Qt::AlignRight, this);
  title1->setObjectName(QStringLiteral("TitleLabel1"));
  title1->setGeometry(80, 8, 149, 33);
  auto* title2 = new TitleLabel(name.mid(split), Qt::red, Qt::AlignLeft, this);
  title2->setObjectName(QStringLiteral("TitleLabel2"));
  title2->setGeometry(232, 8, 64, 33);

  auto* description =
      new QLabel(QStringLiteral("Passerelle expérimentale MIDI / Port série"), this);
  description->setObjectName(QStringLiteral("Label2"));
  description->setAlignment(Qt::AlignRight | Qt::AlignTop);
  // Sized to its text and kept against its right edge, as a right-aligned label does.
  const int width = std::max(197, description->sizeHint().width());
  description->setGeometry(92 + 197 - width, 40, width, description->sizeHint().height());
  AddBevel(this, "Bevel2", 16, 56, 273);

  const struct {
    const char* image;
    const char* label;
    const char* caption;
    const char* field;
    const char* value;
    int top;
  } rows[] = {
      {"Image1", "Version", "Version :", "InfoLabel1", ProgramInfo::kFileVersion, 72},
      {"Image2", "Copyright", "Copyright :", "InfoLabel2", ProgramInfo::kLegalCopyright, 88},
      {"Image3", "Comments", "Commentaires :", "InfoLabel3",
       comments.empty() ? ProgramInfo::kComments : comments.c_str(), 104},
  };
  const QPixmap bullet = Bullet();
  QPalette green = palette();
  green.setColor(QPalette::WindowText, ToQColor(serial::clGreen));
  for (const auto& row : rows) {
    auto* image = new QLabel(this);
    image->setObjectName(QString::fromUtf8(row.image));
    image->setGeometry(16, row.top, 12, 12);
    image->setPixmap(bullet);
    AddLabel(this, row.label, QString::fromUtf8(row.caption), 32, row.top);
    auto* field = new QLabel(QString::fromUtf8(row.value), this);
    field->setObjectName(QString::fromUtf8(row.field));
    field->setGeometry(112, row.top, 177, 16);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setPalette(green);
  }

  AddBevel(this, "Bevel1", 8, 136, 289);
  AddLabel(this, "lblThanks", QStringLiteral("Remerciements"), 8, 144);
  scrollText1_ = new ScrollText(this);
  scrollText1_->setObjectName(QStringLiteral("ScrollText1"));
  scrollText1_->setGeometry(8, 160, 200, 25);
  scrollText1_->SetLines({QStringLiteral("Merci aux auteurs des composants série"),
                          QStringLiteral("Merci aux auteurs des composants MIDI")},
                         Qt::blue);

  auto* status = new QLabel(this);
  status->setObjectName(QStringLiteral("lblInitStatus"));
  QFont bold = font();
  bold.setBold(true);
  status->setFont(bold);
  status->setAlignment(Qt::AlignHCenter);
  status->setGeometry(8, 152, 289, 14);
  status->hide();

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("btnOK"));
  ok->setGeometry(216, 160, 81, 25);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void TfmAbout::FormCreate() {
  scrollText1_->SetScrolling(true);
  programIcon_->setPixmap(QIcon(QString::fromUtf8(ProgramInfo::kIcon)).pixmap(32, 32));
}

void TfmAbout::FormClose() {
  scrollText1_->SetScrolling(false);
}

void TfmAbout::done(int result) {
  FormClose();
  QDialog::done(result);
}

}  // namespace velmora::ui::qt
