// Builds firmware image files for trying out and testing the program: the
// layout it expects (identity block pointer at 8192, identity window at
// 16384) around deterministic pseudo-random content that is never 0xFF, so
// that every programmed byte can be told from erased flash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr uint32_t IdentityPointerOffset = 8192;
constexpr uint32_t IdentityWindowOffset = 16384;
constexpr uint32_t IdentityWindowSize = 4096;
// Images up to eight times the flash, to try how oversized ones are refused.
constexpr uint32_t MaxImageSize = 16 * 1024 * 1024;

struct ImageOptions {
  uint32_t Size = 65536;
  std::string ProductName = "DEMO165";
  std::string HardwareVersion = "1.0b";
  std::string FirmwareVersion = "2.00";
  // Sector numbers for the SOFTWARESNR record; empty: the sectors that the
  // image's bytes cover from address 0 on.
  std::optional<std::vector<uint8_t>> Sectors;
  // A second SOFTWARESNR record right after the first, in block and window.
  std::optional<std::vector<uint8_t>> SecondSectors;
  // False leaves the SERIAL_NO record out of the identity block.
  bool SerialRecord = true;
  uint32_t IdentityOffset = IdentityWindowOffset;
  uint64_t Seed = 1;
};

// The sectors that `size` bytes from address 0 fill on the device's flash.
std::vector<uint8_t> SectorsCovering(uint32_t size);

// "0,1,2", "0-34", or a mix such as "0-3,8,9"; numbers 0 to 255, at most 255.
bool ParseSectorList(std::string_view text, std::vector<uint8_t>& sectors, std::string* error);

// The records of the identity block at P and of the separate identity window.
std::vector<uint8_t> ImageIdentityBlock(const ImageOptions& options,
                                        const std::vector<uint8_t>& sectors);
std::vector<uint8_t> ImageIdentityWindow(const ImageOptions& options,
                                         const std::vector<uint8_t>& sectors);

// Empty optional with `error` set when the parts do not fit into the size or
// overlap each other.
std::optional<std::vector<uint8_t>> BuildImage(const ImageOptions& options, std::string* error);
bool WriteImageFile(const std::string& path, const ImageOptions& options, std::string* error);

}  // namespace sim
