#include "records.h"

#include <algorithm>
#include <cassert>

namespace sim {

void AppendRecord(std::vector<uint8_t>& out, std::string_view tag, std::span<const uint8_t> value) {
  assert(tag.size() == TagLength);
  const std::size_t length = std::min<std::size_t>(value.size(), 255);
  out.insert(out.end(), tag.begin(), tag.end());
  out.push_back(static_cast<uint8_t>(length));
  out.insert(out.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(length));
}

void AppendRecord(std::vector<uint8_t>& out, std::string_view tag, std::string_view value) {
  AppendRecord(out, tag, std::span(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

void AppendSerialRecord(std::vector<uint8_t>& out, uint32_t serialNumber) {
  const uint8_t value[4] = {
      static_cast<uint8_t>(serialNumber), static_cast<uint8_t>(serialNumber >> 8),
      static_cast<uint8_t>(serialNumber >> 16), static_cast<uint8_t>(serialNumber >> 24)};
  AppendRecord(out, TagSerialNumber, std::span<const uint8_t>(value));
}

}  // namespace sim
