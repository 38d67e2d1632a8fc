// The port-settings dialog of "setup". POSIX has no system dialog for serial
// ports, so the program brings its own: bit rate, data bits, parity, stop bits
// and flow control of one port, and the device file that port opens.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "comm_types.h"

class QComboBox;
class QLineEdit;

class PortSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows the settings held in `dcb`.
  PortSettingsDialog(uint8_t port, const std::string& devicePath, const Dcb& dcb,
                     QWidget* parent = nullptr);

  // Writes every line setting shown into `dcb`; the fields the dialog does not
  // show (special characters, limits, the other flag bits) are kept.
  void WriteTo(Dcb& dcb) const;

  // Runs the dialog modally; on OK writes the settings into `dcb` and returns
  // true, on Cancel leaves `dcb` alone and returns false.
  static bool Run(uint8_t port, const std::string& devicePath, Dcb& dcb, QWidget* parent);

  QComboBox* BitRate() const { return bitRate_; }
  QComboBox* DataBits() const { return dataBits_; }
  QComboBox* ParityBox() const { return parity_; }
  QComboBox* StopBitsBox() const { return stopBits_; }
  QComboBox* FlowControlBox() const { return flowControl_; }
  QLineEdit* DeviceFile() const { return deviceFile_; }

 private:
  QComboBox* bitRate_;
  QComboBox* dataBits_;
  QComboBox* parity_;
  QComboBox* stopBits_;
  QComboBox* flowControl_;
  QLineEdit* deviceFile_;
};
