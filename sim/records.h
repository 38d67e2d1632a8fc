// Tagged identity records as the device's flash and firmware images carry
// them: an 11-byte tag, a length byte and that many value bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sim {

constexpr std::string_view TagBegin = "BEGIN______";
constexpr std::string_view TagProductName = "PRODUKTNAME";
constexpr std::string_view TagHardwareVersion = "HARDWAREVER";
constexpr std::string_view TagFirmwareVersion = "FIRMWAREVER";
constexpr std::string_view TagSerialNumber = "SERIAL_NO  ";
constexpr std::string_view TagBrandLabel = "BRANDLABEL ";
constexpr std::string_view TagSectorList = "SOFTWARESNR";
constexpr std::string_view TagEnd = "END________";
constexpr std::size_t TagLength = 11;

// Values longer than a length byte can count are cut to 255 bytes.
void AppendRecord(std::vector<uint8_t>& out, std::string_view tag, std::span<const uint8_t> value);
void AppendRecord(std::vector<uint8_t>& out, std::string_view tag, std::string_view value);
void AppendSerialRecord(std::vector<uint8_t>& out, uint32_t serialNumber);

}  // namespace sim
