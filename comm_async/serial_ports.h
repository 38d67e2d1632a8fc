// The serial ports present on this machine, for a port choice that shows what
// is plugged in. One backend per system (sysfs on Linux, the registry on
// Windows).
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
  std::string Path;   // what TComm::SetDevicePath takes: /dev/ttyUSB0, COM3
  std::string ById;   // a name that survives re-plugging (/dev/serial/by-id/...); may be empty
  std::string Maker;  // of a USB adapter, as it names itself; may be empty
  std::string Model;  // likewise
  std::string SerialNumber;  // likewise
  std::string UsbId;         // vendor:product, four hex digits each; empty when not USB
  std::string Driver;        // the system's driver of the port (ftdi_sio, cdc_acm, serial8250, ...)
};

// The ports present now, in the order of their names (ttyS2 before ttyS10).
std::vector<SerialPortInfo> ListSerialPorts();
