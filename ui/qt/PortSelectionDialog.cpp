#include "ui/qt/PortSelectionDialog.h"

#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "platform/serial/SerialNames.h"

namespace velmora::ui::qt {

TComSelectForm::TComSelectForm(QWidget* parent)
    : TComSelectForm(platform::SerialNameSpace{}, parent) {}

TComSelectForm::TComSelectForm(const platform::SerialNameSpace& names, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  build(serial::TComSelectList(names));
}

void TComSelectForm::build(const serial::TComSelectList& list) {
  setObjectName("ComSelectForm");
  setWindowTitle(serial::kSelectPortCaption);
  setFixedSize(220, 131);

  auto* bevel = new QFrame(this);
  bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
  bevel->setGeometry(8, 8, 204, 82);
  auto* line1 = new QLabel(serial::kSelectPortLine1, bevel);
  line1->setObjectName("Label1");
  line1->setGeometry(6, 6, 194, 16);
  auto* line2 = new QLabel(serial::kSelectPortLine2, bevel);
  line2->setObjectName("Label2");
  line2->setGeometry(6, 24, 194, 16);

  ports_ = new QComboBox(bevel);
  ports_->setObjectName("PortsComboBox");
  ports_->setEditable(false);  // pick only
  ports_->setGeometry(2, 52, 201, 22);
  for (const auto& entry : list.Entries()) ports_->addItem(QString::fromStdString(entry));
  ports_->setCurrentIndex(list.ItemIndex());

  ok_ = new QPushButton("OK", this);
  ok_->setObjectName("OkBtn");
  ok_->setDefault(true);
  ok_->setGeometry(37, 98, 75, 25);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  abort_ = new QPushButton("Cancel", this);
  abort_->setObjectName("AbortBtn");
  abort_->setGeometry(120, 98, 75, 25);
  connect(abort_, &QPushButton::clicked, this, &QDialog::reject);

  if (const auto* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

std::uint16_t TComSelectForm::SelectedComNumber() const {
  if (ports_->currentIndex() < 0) return 0;
  return static_cast<std::uint16_t>(platform::ComNumberOf(ports_->currentText().toStdString()));
}

std::uint16_t ChooseComPort(QWidget* parent) {
  TComSelectForm form(parent);
  if (form.exec() != QDialog::Accepted) return 0;
  return form.SelectedComNumber();
}

}  // namespace velmora::ui::qt
