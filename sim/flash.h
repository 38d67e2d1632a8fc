// The 29F160D flash of the simulated device: 2 MiB, bottom boot block, so
// 35 sectors of 16K, 8K, 8K, 32K and 31 x 64K. Behaves like the real part
// where the program can see it: erasing sets every byte to 0xFF and
// programming can only clear bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t FlashSize = 0x200000;
constexpr int SectorCount = 35;

// Start address of every sector and, as the last entry, the end of the flash.
// This is the table the flash routine hands to the program.
constexpr std::array<uint32_t, SectorCount + 1> SectorTable = [] {
  std::array<uint32_t, SectorCount + 1> table{};
  table[0] = 0x000000;
  table[1] = 0x004000;
  table[2] = 0x006000;
  table[3] = 0x008000;
  for (int i = 4; i <= SectorCount; ++i) table[i] = 0x010000u * static_cast<uint32_t>(i - 3);
  return table;
}();
static_assert(SectorTable[SectorCount] == FlashSize);

constexpr uint32_t SectorSize(int sector) {
  return SectorTable[sector + 1] - SectorTable[sector];
}

// The sector that holds `address`; -1 outside the flash.
int SectorOf(uint32_t address);

class Flash {
 public:
  // A fully erased part.
  Flash();

  void Erase(int sector);
  // Programs `data` from `address` on, as the part does: every byte becomes
  // old AND new. False when some byte needed a 0 turned back into 1; the
  // other bits have been written all the same.
  bool Program(uint32_t address, std::span<const uint8_t> data);

  uint8_t At(uint32_t address) const { return bytes_[address]; }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  std::span<uint8_t> MutableBytes() { return bytes_; }
  std::span<const uint8_t> Sector(int sector) const;

  // Raw images of exactly FlashSize bytes. `error` says why on failure.
  bool Load(const std::string& path, std::string* error);
  bool Save(const std::string& path, std::string* error) const;

 private:
  std::vector<uint8_t> bytes_;
};

// Identity values stored at 0x004000; an empty optional leaves its record out.
struct DeviceIdentity {
  std::optional<std::string> ProductName;
  std::optional<std::string> HardwareVersion;
  std::optional<uint32_t> SerialNumber;
  std::optional<std::string> BrandLabel;
};

constexpr uint32_t IdentityAddress = 0x004000;
// What the program reads of it: 2048 words.
constexpr uint32_t IdentityBlockSize = 4096;

// BEGIN, the present records and END, in the form the program scans for.
std::vector<uint8_t> BuildIdentityBlock(const DeviceIdentity& identity);

// Content of the recognisable test sectors; depends on the address only so a
// read-back can be checked without the simulator at hand.
uint8_t PatternByte(uint32_t address);

// A flash as a freshly delivered unit holds it: erased, the identity block at
// 0x004000 and the pattern in `patternSectors`. Without an identity, the
// block is erased too (a new board), whatever the pattern says.
Flash MakeFlash(const std::optional<DeviceIdentity>& identity, std::span<const int> patternSectors);

}  // namespace sim
