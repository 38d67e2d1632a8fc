// What an operator is told when a port cannot be opened: the cause in plain
// words and what to do about it. The window logs it after the described lines,
// the command line prints it.
#pragma once

#include <string>

#include "platform/sys_error.h"

// One or two sentences, without line ends, e.g. "/dev/ttyUSB0 does not exist:
// is the download wire plugged in? Choose the device in setup."
std::string PortOpenAdvice(const SysError& error, const std::string& device);

// The group whose members may open `device` (usually dialout; "dialout" when
// it cannot be told); empty where the system has no such group.
std::string DeviceGroup(const std::string& device);
