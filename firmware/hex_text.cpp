#include "hex_text.h"

std::string HexDigits(uint64_t value, int digits) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint64_t rest = value; rest != 0; rest >>= 4) text.insert(text.begin(), Digits[rest & 0xF]);
  if (static_cast<int>(text.size()) < digits)
    text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
  return text;
}
