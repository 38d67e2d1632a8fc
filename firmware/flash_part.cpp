#include "flash_part.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t K = 1024;
constexpr std::array<uint32_t, 35> F29F160DBottomSectors = {
    16 * K, 8 * K,  8 * K,  32 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K,
    64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K,
    64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K, 64 * K};
static_assert(F29F160DBottomSectors.size() <= MaxFlashSectors);

}  // namespace

// The data sheet's maxima: a 64 KiB sector erases in up to about 15 s, and
// its 32768 words program in up to about 12 s; the boot sectors take less.
const FlashPart F29F160DBottom{
    .Name = "29F160D (bottom boot block)",
    .SectorSizes = F29F160DBottomSectors,
    .ServiceSectors = {8, 9},
    .IdentityAddress = 0x004000,
    .RoutineFileName = "F29f160d.hex",
    .EraseLargeSector = 15s,
    .EraseSmallSector = 8s,
    .ProgramLargeSector = 12s,
    .ProgramSmallSector = 6s,
    .LargeSectorBytes = 64 * K,
};

std::chrono::milliseconds FlashPart::EraseBound(int32_t sector) const {
  const bool small = sector >= 0 && sector < SectorCount() &&
                     SectorSizes[static_cast<size_t>(sector)] < LargeSectorBytes;
  return small ? EraseSmallSector : EraseLargeSector;
}

std::chrono::milliseconds FlashPart::ProgramBound(int32_t sector) const {
  const bool small = sector >= 0 && sector < SectorCount() &&
                     SectorSizes[static_cast<size_t>(sector)] < LargeSectorBytes;
  return small ? ProgramSmallSector : ProgramLargeSector;
}

uint32_t FlashPart::ServiceBytes() const {
  uint32_t total = 0;
  for (int32_t sector : ServiceSectors) total += SectorSizes[static_cast<size_t>(sector)];
  return total;
}
