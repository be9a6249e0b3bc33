#pragma once

#include <QDialog>
#include <cstdint>

#include "serial/PortSelection.h"

class QComboBox;
class QPushButton;

namespace velmora::platform {
class SerialNameSpace;
}

namespace velmora::ui::qt {

// "Select Port": shown when a port is opened without a port number. Lists the ports that can be
// opened, or that another program holds, from COM1 to COM50.
class TComSelectForm final : public QDialog {
  Q_OBJECT

 public:
  explicit TComSelectForm(QWidget* parent = nullptr);
  TComSelectForm(const platform::SerialNameSpace& names, QWidget* parent = nullptr);

  // The chosen port; 0 when nothing is listed.
  std::uint16_t SelectedComNumber() const;

  QComboBox* PortsComboBox() const { return ports_; }
  QPushButton* OkBtn() const { return ok_; }
  QPushButton* AbortBtn() const { return abort_; }

 private:
  void build(const serial::TComSelectList& list);

  QComboBox* ports_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* abort_ = nullptr;
};

// Shows the dialog modally: the chosen port number, or 0 when the user cancelled or nothing was
// listed. Fits TApdCustomComPort::PortSelector.
std::uint16_t ChooseComPort(QWidget* parent = nullptr);

}  // namespace velmora::ui::qt
