#include "port_settings_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

// The rates of TBaudRate, in its order.
constexpr uint32_t BitRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};

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

}  // namespace

PortSettingsDialog::PortSettingsDialog(uint8_t port, const std::string& devicePath, const Dcb& dcb,
                                       QWidget* parent)
    : QDialog(parent),
      bitRate_(new QComboBox(this)),
      dataBits_(new QComboBox(this)),
      parity_(new QComboBox(this)),
      stopBits_(new QComboBox(this)),
      flowControl_(new QComboBox(this)),
      deviceFile_(new QLineEdit(this)) {
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
  deviceFile_->setReadOnly(true);
  deviceFile_->setText(QString::fromStdString(devicePath));

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

bool PortSettingsDialog::Run(uint8_t port, const std::string& devicePath, Dcb& dcb,
                             QWidget* parent) {
  PortSettingsDialog dialog(port, devicePath, dcb, parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.WriteTo(dcb);
  return true;
}
