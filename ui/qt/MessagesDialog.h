#pragma once

#include <QDialog>
#include <array>
#include <functional>

#include "core/MessageKinds.h"

class QCheckBox;
class QPushButton;

namespace velmora::ui::qt {

// "Messages transmis": the kinds of message that cross, one column of check boxes per
// direction, and whether the serial port's text frames go to the log. Each change is handed on
// at once, so that it applies while the dialog is still open.
class MessagesDialog final : public QDialog {
  Q_OBJECT

 public:
  using Changed = std::function<void(const core::MessageChoice& choice)>;
  MessagesDialog(const core::MessageChoice& current, Changed changed, QWidget* parent = nullptr);

  // What the boxes hold.
  core::MessageChoice Choice() const;
  QCheckBox* Box(bool toSerial, core::MessageKind kind) const {
    return boxes_[toSerial ? 0 : 1][static_cast<std::size_t>(kind)];
  }
  QCheckBox* SerialText() const { return serialText_; }

 private:
  std::array<std::array<QCheckBox*, core::kMessageKindCount>, 2> boxes_{};  // to serial, to MIDI
  QCheckBox* serialText_ = nullptr;
  Changed changed_;
};

// Shows the dialog modally until the user closes it; `changed` is told of each change.
void ShowMessagesDialog(const core::MessageChoice& current, MessagesDialog::Changed changed,
                        QWidget* parent = nullptr);

}  // namespace velmora::ui::qt
