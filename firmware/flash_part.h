// The flash part on the device, described once: its sectors, the sectors
// the service jobs work on, where the device keeps its identity, the flash
// routine that drives it, and how long its operations may take. Everything
// that depends on the part reads it from here; a second chip is one more
// description.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

struct FlashPart {
  std::string_view Name;
  // Sector sizes in bytes, sector 0 first; the device reports the start
  // addresses itself at "connect", these are what they should describe.
  std::span<const uint32_t> SectorSizes;
  // The two sectors the read-back and the erase-only job work on.
  std::array<int32_t, 2> ServiceSectors;
  // Where the device keeps its identity block.
  uint32_t IdentityAddress;
  // The upload file of the flash routine that knows this part.
  std::string_view RoutineFileName;
  // Longest time the part itself may take for one operation on one sector,
  // from its data sheet: a 64 KiB sector against the smaller boot sectors.
  std::chrono::milliseconds EraseLargeSector;
  std::chrono::milliseconds EraseSmallSector;
  std::chrono::milliseconds ProgramLargeSector;
  std::chrono::milliseconds ProgramSmallSector;
  uint32_t LargeSectorBytes;

  int32_t SectorCount() const { return static_cast<int32_t>(SectorSizes.size()); }
  int32_t LastSector() const { return SectorCount() - 1; }
  // The part's own maximum for erasing or programming `sector`; the larger
  // bound when the sector is not one of the part's.
  std::chrono::milliseconds EraseBound(int32_t sector) const;
  std::chrono::milliseconds ProgramBound(int32_t sector) const;
  // Bytes of the service sectors together.
  uint32_t ServiceBytes() const;
};

// The most sectors any described part has: the size of the fixed tables of
// the session (one flag per sector, one start address per sector and one
// for the end).
constexpr int32_t MaxFlashSectors = 35;

// The 29F160D, bottom boot block: 16K, 8K, 8K, 32K and 31 sectors of 64K.
extern const FlashPart F29F160DBottom;

// The part of the device this program updates.
inline const FlashPart& DevicePart() {
  return F29F160DBottom;
}
