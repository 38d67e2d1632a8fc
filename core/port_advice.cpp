#include "port_advice.h"

std::string PortOpenAdvice(const SysError& error, const std::string& device) {
  switch (error.Cause) {
    case ErrorCause::NotFound:
      return device +
             " does not exist: is the download wire plugged in? Choose the device in setup.";
    case ErrorCause::PermissionDenied: {
      const std::string group = DeviceGroup(device);
      if (group.empty()) return "no permission to open " + device + ": " + error.Text + ".";
      return "no permission to open " + device + ": add yourself to the group " + group +
             " with \"sudo usermod -aG " + group + " $USER\", then log out and log in again.";
    }
    case ErrorCause::Busy:
      return error.Text.empty() ? device + " is in use by another program: close it and try again."
                                : error.Text + ": close that program and try again.";
    case ErrorCause::NotSerialDevice:
      return device + " is not a serial port: choose the device in setup.";
    case ErrorCause::SettingsRefused:
      return device + " refused the line settings: choose another bit rate in setup.";
    case ErrorCause::None:
      return device + " could not be opened.";
    case ErrorCause::TimedOut:
    case ErrorCause::NotRegularFile:
    case ErrorCause::TooLarge:
    case ErrorCause::OwnFile:
    case ErrorCause::Other:
      break;
  }
  return error.Text.empty() ? device + " could not be opened." : error.Text + ".";
}
