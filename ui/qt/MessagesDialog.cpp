#include "ui/qt/MessagesDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace velmora::ui::qt {

MessagesDialog::MessagesDialog(const core::MessageChoice& current, Changed changed, QWidget* parent)
    : QDialog(parent), changed_(std::move(changed)) {
  setObjectName(QStringLiteral("MessagesDialog"));
  setWindowTitle(QStringLiteral("Messages transmis"));
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QString::fromUtf8(core::kToSerialHeading), this), 0, 1,
                  Qt::AlignCenter);
  grid->addWidget(new QLabel(QString::fromUtf8(core::kToMidiHeading), this), 0, 2, Qt::AlignCenter);
  for (std::size_t k = 0; k < core::kMessageKindCount; ++k) {
    const auto kind = static_cast<core::MessageKind>(k);
    const int row = static_cast<int>(k) + 1;
    grid->addWidget(new QLabel(QString::fromUtf8(core::KindLabel(kind)), this), row, 0);
    for (const bool toSerial : {true, false}) {
      auto* box = new QCheckBox(this);
      box->setObjectName(
          QStringLiteral("%1_%2").arg(toSerial ? "cbToSerial" : "cbToMidi", core::KindName(kind)));
      box->setChecked((toSerial ? current.toSerial : current.toMidi).Has(kind));
      boxes_[toSerial ? 0 : 1][k] = box;
      grid->addWidget(box, row, toSerial ? 1 : 2, Qt::AlignCenter);
    }
  }
  serialText_ = new QCheckBox(QString::fromUtf8(core::kSerialTextLabel), this);
  serialText_->setObjectName(QStringLiteral("cbSerialText"));
  serialText_->setChecked(current.serialText);
  grid->addWidget(serialText_, static_cast<int>(core::kMessageKindCount) + 1, 0, 1, 3);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* close = buttons->addButton(QStringLiteral("Fermer"), QDialogButtonBox::AcceptRole);
  close->setObjectName(QStringLiteral("CloseBtn"));
  close->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  grid->addWidget(buttons, static_cast<int>(core::kMessageKindCount) + 2, 0, 1, 3);

  const auto tell = [this] {
    if (changed_) changed_(Choice());
  };
  for (const auto& column : boxes_) {
    for (QCheckBox* box : column) connect(box, &QCheckBox::toggled, this, tell);
  }
  connect(serialText_, &QCheckBox::toggled, this, tell);
}

core::MessageChoice MessagesDialog::Choice() const {
  core::MessageChoice choice;
  for (std::size_t k = 0; k < core::kMessageKindCount; ++k) {
    const auto kind = static_cast<core::MessageKind>(k);
    choice.toSerial.Set(kind, boxes_[0][k]->isChecked());
    choice.toMidi.Set(kind, boxes_[1][k]->isChecked());
  }
  choice.serialText = serialText_->isChecked();
  return choice;
}

void ShowMessagesDialog(const core::MessageChoice& current, MessagesDialog::Changed changed,
                        QWidget* parent) {
  MessagesDialog dialog(current, std::move(changed), parent);
  dialog.exec();
}

}  // namespace velmora::ui::qt
