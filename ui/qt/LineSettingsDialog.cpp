#include "ui/qt/LineSettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/CommandLine.h"

namespace velmora::ui::qt {

namespace {

constexpr int kCommonRates[] = {300,   1200,  2400,   4800,   9600,   19200, 31250,
                                38400, 57600, 115200, 230400, 460800, 921600};
const char* const kParities[] = {"Aucune", "Impaire", "Paire", "Marque", "Espace"};
// In FlowControl's order.
const char* const kFlows[] = {"Aucun", "RTS/CTS", "XON/XOFF"};

}  // namespace

LineSettingsDialog::LineSettingsDialog(const core::LineSettings& current,
                                       std::optional<bool> exactTiming, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("LineSettingsDialog"));
  setWindowTitle(QStringLiteral("Paramètres du port"));

  baud_ = new QComboBox(this);
  baud_->setObjectName(QStringLiteral("cbBaud"));
  baud_->setEditable(true);  // any rate the device takes, not only the common ones
  baud_->setInsertPolicy(QComboBox::NoInsert);
  for (const int rate : kCommonRates) baud_->addItem(QString::number(rate));
  baud_->setCurrentText(QString::number(current.baud));

  dataBits_ = new QComboBox(this);
  dataBits_->setObjectName(QStringLiteral("cbDataBits"));
  for (int bits = 5; bits <= 8; ++bits) dataBits_->addItem(QString::number(bits), bits);
  dataBits_->setCurrentIndex(dataBits_->findData(current.dataBits));

  parity_ = new QComboBox(this);
  parity_->setObjectName(QStringLiteral("cbParity"));
  for (const char* name : kParities) parity_->addItem(QString::fromUtf8(name));
  parity_->setCurrentIndex(static_cast<int>(current.parity));

  stopBits_ = new QComboBox(this);
  stopBits_->setObjectName(QStringLiteral("cbStopBits"));
  for (int bits = 1; bits <= 2; ++bits) stopBits_->addItem(QString::number(bits), bits);
  stopBits_->setCurrentIndex(stopBits_->findData(current.stopBits));

  flow_ = new QComboBox(this);
  flow_->setObjectName(QStringLiteral("cbFlow"));
  for (const char* name : kFlows) flow_->addItem(QString::fromUtf8(name));
  flow_->setCurrentIndex(static_cast<int>(current.flow));

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  ok_->setObjectName(QStringLiteral("OkBtn"));
  ok_->setDefault(true);
  buttons->addButton(QStringLiteral("Annuler"), QDialogButtonBox::RejectRole)
      ->setObjectName(QStringLiteral("AbortBtn"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(baud_, &QComboBox::currentTextChanged, this,
          [this] { ok_->setEnabled(Settings().has_value()); });

  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Vitesse (bauds) :"), baud_);
  form->addRow(QStringLiteral("Bits de données :"), dataBits_);
  form->addRow(QStringLiteral("Parité :"), parity_);
  form->addRow(QStringLiteral("Bits d'arrêt :"), stopBits_);
  form->addRow(QStringLiteral("Contrôle de flux :"), flow_);
  if (exactTiming) {
    timing_ =
        new QLabel(*exactTiming ? QStringLiteral("exact : chaque message à son heure, une période "
                                                 "plus tard")
                                : QStringLiteral("rapide : au plus tôt, au début du cycle"),
                   this);
    timing_->setObjectName(QStringLiteral("lblTiming"));
    timing_->setToolTip(
        QStringLiteral("Choisi au lancement : --timing exact|fast, ou timing= "
                       "dans la section [bridge] du profil."));
    form->addRow(QStringLiteral("Minutage MIDI :"), timing_);
  }
  form->addRow(buttons);
}

std::optional<core::LineSettings> LineSettingsDialog::Settings() const {
  // The command line's rules, so that both take the same speeds.
  auto line = core::ParseLineSettings(baud_->currentText().trimmed().toStdString());
  if (!line || baud_->currentText().contains(QLatin1Char(','))) return std::nullopt;
  line->dataBits = static_cast<std::uint16_t>(dataBits_->currentData().toInt());
  line->parity = static_cast<serial::TParity>(parity_->currentIndex());
  line->stopBits = static_cast<std::uint16_t>(stopBits_->currentData().toInt());
  line->flow = static_cast<core::FlowControl>(flow_->currentIndex());
  return line;
}

std::optional<core::LineSettings> ChooseLineSettings(const core::LineSettings& current,
                                                     std::optional<bool> exactTiming,
                                                     QWidget* parent) {
  LineSettingsDialog dialog(current, exactTiming, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Settings();
}

}  // namespace velmora::ui::qt
