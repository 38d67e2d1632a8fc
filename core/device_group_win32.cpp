#include "port_advice.h"

// Windows has no group that grants serial ports: any user may open a COM port
// that no other program holds.
std::string DeviceGroup(const std::string& /*device*/) {
  return {};
}
