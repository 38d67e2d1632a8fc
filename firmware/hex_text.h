// Numbers as the log, the reports and the device's error codes show them in
// hexadecimal.
#pragma once

#include <cstdint>
#include <string>

// Upper-case digits, at least `digits` of them: HexDigits(0x400, 4) is "0400".
std::string HexDigits(uint64_t value, int digits);
// The same with "0x" before: HexText(0x4000, 6) is "0x004000".
inline std::string HexText(uint64_t value, int digits) {
  return "0x" + HexDigits(value, digits);
}
