// The port-settings dialog of "setup". POSIX has no system dialog for serial
// ports, so the program brings its own: bit rate, data bits, parity, stop bits
// and flow control of one port, and the device that port opens, chosen from
// the serial devices present or typed in.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

#include "comm_async/comm_types.h"
#include "comm_async/serial_ports.h"

class QComboBox;
class QLabel;

class PortSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows the settings held in `dcb` and the device `devicePath`, offering
  // `present` to choose from. With `fixedBy` (the name of an environment
  // variable) the device cannot be changed here and the dialog says why.
  PortSettingsDialog(uint8_t port, const std::string& devicePath, const Dcb& dcb,
                     const std::vector<SerialPortInfo>& present = {},
                     const std::string& fixedBy = {}, QWidget* parent = nullptr);

  // The device chosen or typed.
  std::string ChosenDevice() const;

  // Writes every line setting shown into `dcb`; the fields the dialog does not
  // show (special characters, limits, the other flag bits) are kept.
  void WriteTo(Dcb& dcb) const;

  // Runs the dialog modally on the serial devices present now; on OK writes
  // the settings into `dcb` and the device into *device and returns true, on
  // Cancel leaves both alone and returns false.
  static bool Run(uint8_t port, std::string* device, Dcb& dcb, const std::string& fixedBy,
                  QWidget* parent);

  QComboBox* BitRate() const { return bitRate_; }
  QComboBox* DataBits() const { return dataBits_; }
  QComboBox* ParityBox() const { return parity_; }
  QComboBox* StopBitsBox() const { return stopBits_; }
  QComboBox* FlowControlBox() const { return flowControl_; }
  QComboBox* DeviceFile() const { return deviceFile_; }
  QLabel* DeviceNote() const { return deviceNote_; }

 private:
  QComboBox* bitRate_;
  QComboBox* dataBits_;
  QComboBox* parity_;
  QComboBox* stopBits_;
  QComboBox* flowControl_;
  QComboBox* deviceFile_;
  QLabel* deviceNote_;
};
