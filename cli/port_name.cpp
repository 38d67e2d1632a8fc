#include "port_name.h"

#include <cctype>

std::optional<PortName> ParsePortName(const std::string& text) {
  if (text.empty()) return std::nullopt;
  PortName name;
  name.Given = text;
  if (text.size() == 4 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(text[2])) == 'M' && text[3] >= '1' &&
      text[3] <= '4') {
    name.Number = static_cast<uint8_t>(text[3] - '0');
    return name;
  }
  // Anything else names a device file; a wrong one is reported when it does
  // not open, with the system's reason.
  name.Path = text;
  return name;
}
