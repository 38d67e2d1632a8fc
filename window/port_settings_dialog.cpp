#include "port_settings_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "dialog_looks.h"

namespace {

// The rates of TBaudRate, in its order.

// Flag bits the flow-control choice leaves alone: fBinary, fParity,
// fTXContinueOnXoff, fErrorChar, fNull, fAbortOnError.
constexpr uint32_t FlowControlKeptFlags = 0x4C83;
// Added per choice: DTR raised while open in every case, plus the handshake.
constexpr uint32_t FlowNoneFlags = DcbBinary | DcbDtrControlEnable;
constexpr uint32_t FlowHardwareFlags =
    DcbBinary | DcbOutxCtsFlow | DcbDtrControlEnable | DcbRtsHandshake;
constexpr uint32_t FlowXonXoffFlags = DcbBinary | DcbDtrControlEnable | DcbOutX | DcbInX;

// Selects the entry carrying `value`; a value the list lacks is added at its
// end, so that OK does not change a setting the operator never touched.
void SelectValue(QComboBox* box, uint32_t value) {
  int index = box->findData(value);
  if (index < 0) {
    box->addItem(QString::number(value), value);
    index = box->count() - 1;
  }
  box->setCurrentIndex(index);
}

uint32_t SelectedValue(const QComboBox* box) {
  return box->currentData().toUInt();
}

TFlowControl FlowControlOf(uint32_t flags) {
  if (flags & DcbRtsHandshake) return cfcHardware;
  if ((flags & (DcbOutX | DcbInX)) == (DcbOutX | DcbInX)) return cfcXonXoff;
  return cfcNone;
}

// How a present device is shown: its lasting name, and what the adapter says
// of itself.
QString DeviceLabel(const SerialPortInfo& info) {
  QString label = QString::fromStdString(info.ById.empty() ? info.Path : info.ById);
  QStringList about;
  for (const std::string* part : {&info.Maker, &info.Model}) {
    if (!part->empty()) about << QString::fromStdString(*part);
  }
  if (!info.SerialNumber.empty()) {
    about << QStringLiteral("serial ") + QString::fromStdString(info.SerialNumber);
  }
  if (!info.ById.empty()) about << QString::fromStdString(info.Path);
  if (!about.isEmpty()) label += QStringLiteral("  (") + about.join(QStringLiteral(", ")) + u')';
  return label;
}

}  // namespace

PortSettingsDialog::PortSettingsDialog(uint8_t port, const std::string& devicePath, const Dcb& dcb,
                                       const std::vector<SerialPortInfo>& present,
                                       const std::string& fixedBy, QWidget* parent)
    : QDialog(parent),
      bitRate_(new QComboBox(this)),
      dataBits_(new QComboBox(this)),
      parity_(new QComboBox(this)),
      stopBits_(new QComboBox(this)),
      flowControl_(new QComboBox(this)),
      deviceFile_(new QComboBox(this)),
      deviceNote_(new QLabel(this)) {
  setWindowTitle(QStringLiteral("COM") + QString::number(port));
  setObjectName(QStringLiteral("PortSettingsDialog"));

  for (uint32_t rate : BitRates) bitRate_->addItem(QString::number(rate), rate);
  for (uint32_t bits = 5; bits <= 8; ++bits) dataBits_->addItem(QString::number(bits), bits);
  parity_->addItem(tr("None"), NoParity);
  parity_->addItem(tr("Odd"), OddParity);
  parity_->addItem(tr("Even"), EvenParity);
  parity_->addItem(tr("Mark"), MarkParity);
  parity_->addItem(tr("Space"), SpaceParity);
  stopBits_->addItem(QStringLiteral("1"), OneStopBit);
  stopBits_->addItem(QStringLiteral("1.5"), One5StopBits);
  stopBits_->addItem(QStringLiteral("2"), TwoStopBits);
  flowControl_->addItem(tr("None"), cfcNone);
  flowControl_->addItem(tr("Hardware"), cfcHardware);
  flowControl_->addItem(tr("Xon / Xoff"), cfcXonXoff);
  // A device is remembered by the name it was chosen with; the by-id name of
  // a USB adapter stays the same when it is plugged into another socket.
  deviceFile_->setEditable(true);
  deviceFile_->setInsertPolicy(QComboBox::NoInsert);
  deviceFile_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  // Wide enough for a by-id name: the start of a path tells most.
  deviceFile_->setMinimumContentsLength(std::clamp(static_cast<int>(devicePath.size()), 40, 72));
  for (const SerialPortInfo& info : present) {
    deviceFile_->addItem(DeviceLabel(info),
                         QString::fromStdString(info.ById.empty() ? info.Path : info.ById));
  }
  const QString current = QString::fromStdString(devicePath);
  const int known = deviceFile_->findData(current);
  if (known >= 0) {
    deviceFile_->setCurrentIndex(known);
  } else {
    deviceFile_->setEditText(current);
  }
  deviceFile_->lineEdit()->setCursorPosition(0);
  if (!fixedBy.empty()) {
    deviceFile_->setEnabled(false);
    deviceNote_->setText(QString::fromStdString(fixedBy) +
                         QStringLiteral(" is set: it names the device of this port."));
  } else if (present.empty()) {
    deviceNote_->setText(
        QStringLiteral("No serial device found: plug in the download wire, or "
                       "type the device's path."));
  }
  deviceNote_->setWordWrap(true);
  deviceNote_->setVisible(!deviceNote_->text().isEmpty());

  SelectValue(bitRate_, dcb.BaudRate);
  SelectValue(dataBits_, dcb.ByteSize);
  // Read back as the component reads them: anything unknown is "none" / "2".
  parity_->setCurrentIndex(dcb.Parity <= SpaceParity ? dcb.Parity : NoParity);
  stopBits_->setCurrentIndex(dcb.StopBits <= One5StopBits ? dcb.StopBits : TwoStopBits);
  flowControl_->setCurrentIndex(FlowControlOf(dcb.Flags));

  auto* form = new QFormLayout;
  form->addRow(tr("Bits per second:"), bitRate_);
  form->addRow(tr("Data bits:"), dataBits_);
  form->addRow(tr("Parity:"), parity_);
  form->addRow(tr("Stop bits:"), stopBits_);
  form->addRow(tr("Flow control:"), flowControl_);
  form->addRow(tr("Device file:"), deviceFile_);
  form->addRow(QString(), deviceNote_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void PortSettingsDialog::WriteTo(Dcb& dcb) const {
  dcb.BaudRate = SelectedValue(bitRate_);
  dcb.ByteSize = static_cast<uint8_t>(SelectedValue(dataBits_));
  dcb.Parity = static_cast<uint8_t>(SelectedValue(parity_));
  if (dcb.Parity == NoParity) {
    dcb.Flags &= ~DcbParity;
  } else {
    dcb.Flags |= DcbParity;
  }
  dcb.StopBits = static_cast<uint8_t>(SelectedValue(stopBits_));
  uint32_t flow = FlowNoneFlags;
  switch (static_cast<TFlowControl>(SelectedValue(flowControl_))) {
    case cfcHardware:
      flow = FlowHardwareFlags;
      break;
    case cfcXonXoff:
      flow = FlowXonXoffFlags;
      break;
    case cfcNone:
      break;
  }
  dcb.Flags = (dcb.Flags & FlowControlKeptFlags) | flow;
}

std::string PortSettingsDialog::ChosenDevice() const {
  // The label of a listed device stands for its name; anything typed is a
  // name itself.
  const QString text = deviceFile_->currentText().trimmed();
  const int listed = deviceFile_->findText(text);
  if (listed >= 0) return deviceFile_->itemData(listed).toString().toStdString();
  return text.toStdString();
}

bool PortSettingsDialog::Run(uint8_t port, std::string* device, Dcb& dcb,
                             const std::string& fixedBy, QWidget* parent) {
  PortSettingsDialog dialog(port, *device, dcb, ListSerialPorts(), fixedBy, parent);
  if (parent != nullptr) CentreOnWindow(dialog, *parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.WriteTo(dcb);
  *device = dialog.ChosenDevice();
  return true;
}
