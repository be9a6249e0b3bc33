#pragma once

#include <QDialog>
#include <optional>

#include "core/Bridge.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace velmora::ui::qt {

// "Paramètres du port": the serial line's speed (any rate the device takes, typed or picked),
// data bits, parity, stop bits and flow control; and, where the MIDI service moves events in
// cycles, the timing in force (chosen with --timing or the profile, shown only).
class LineSettingsDialog final : public QDialog {
  Q_OBJECT

 public:
  explicit LineSettingsDialog(const core::LineSettings& current,
                              std::optional<bool> exactTiming = std::nullopt,
                              QWidget* parent = nullptr);

  // What the fields hold; empty while the speed is not a number from 1 to 4000000.
  std::optional<core::LineSettings> Settings() const;

  QComboBox* Baud() const { return baud_; }
  QComboBox* DataBits() const { return dataBits_; }
  QComboBox* Parity() const { return parity_; }
  QComboBox* StopBits() const { return stopBits_; }
  QComboBox* Flow() const { return flow_; }
  QPushButton* OkBtn() const { return ok_; }
  QLabel* Timing() const { return timing_; }  // null without a timing to show

 private:
  QComboBox* baud_ = nullptr;
  QComboBox* dataBits_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stopBits_ = nullptr;
  QComboBox* flow_ = nullptr;
  QLabel* timing_ = nullptr;
  QPushButton* ok_ = nullptr;
};

// Shows the dialog modally: the settings chosen, or empty when the user cancelled.
std::optional<core::LineSettings> ChooseLineSettings(const core::LineSettings& current,
                                                     std::optional<bool> exactTiming,
                                                     QWidget* parent = nullptr);

}  // namespace velmora::ui::qt
