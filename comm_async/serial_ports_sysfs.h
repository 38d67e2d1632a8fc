// The Linux side of ListSerialPorts, with the roots of the two trees it reads
// given, so that a test can hand it a tree of its own.
#pragma once

#include <string>
#include <vector>

#include "serial_ports.h"

// `sysClassTty` stands for /sys/class/tty, `dev` for /dev.
std::vector<SerialPortInfo> ListSerialPortsUnder(const std::string& sysClassTty,
                                                 const std::string& dev);
