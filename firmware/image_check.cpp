// Checks before the first erase of an update.
#include "image_check.h"

#include <algorithm>
#include <array>

#include "hex_text.h"

namespace {

ImageCheckResult Fail(ImageCheckFailure failure, std::string text) {
  return ImageCheckResult{failure, std::move(text)};
}

// What a sector can take: its size rounded up to whole words, as the
// programming sends it; 0 for an entry the table does not order.
int64_t SectorCapacity(std::span<const uint32_t> table, size_t sector) {
  if (sector + 1 >= table.size() || table[sector + 1] < table[sector]) return 0;
  const int64_t size = static_cast<int64_t>(table[sector + 1]) - table[sector];
  return (size + 1) / 2 * 2;
}

}  // namespace

ImageCheckResult CheckFlashPlan(const FlashPlan& plan) {
  if (plan.SectorLists.empty()) return {};
  const int32_t lastSector = std::min(plan.DeviceSectorCount, plan.Part->SectorCount()) - 1;
  for (size_t k = 1; k < plan.SectorLists.size(); ++k) {
    if (plan.SectorLists[k] != plan.SectorLists[0]) {
      return Fail(ImageCheckFailure::SectorListsDisagree,
                  "the image holds " + std::to_string(plan.SectorLists.size()) +
                      " sector lists that differ");
    }
  }
  const std::vector<uint8_t>& list = plan.SectorLists[0];
  std::array<bool, 256> seen{};
  for (const uint8_t sector : list) {
    if (sector > lastSector) {
      return Fail(ImageCheckFailure::SectorOutOfRange,
                  "the sector list names sector " + std::to_string(sector) +
                      ", the device has sectors 0 to " + std::to_string(lastSector));
    }
    if (seen[sector]) {
      return Fail(ImageCheckFailure::SectorListedTwice,
                  "the sector list names sector " + std::to_string(sector) + " twice");
    }
    seen[sector] = true;
  }
  int64_t capacity = 0;
  for (const uint8_t sector : list) capacity += SectorCapacity(plan.SectorStart, sector);
  if (plan.ImageSize > capacity) {
    return Fail(ImageCheckFailure::ImageTooLong,
                "the image of " + std::to_string(plan.ImageSize) + " bytes does not fit into " +
                    "its sectors of " + std::to_string(capacity) + " bytes");
  }
  return {};
}

ImageCheckResult CheckPatchedIdentity(std::span<const uint8_t> block, const DeviceIdentity& device,
                                      const std::string& productName) {
  // Scanned as the device's own identity read will scan it after the update.
  DeviceIdentity carried;
  ScanDeviceIdentity(block, carried);
  const auto missing = [](const char* what) {
    return Fail(ImageCheckFailure::IdentityNotCarried,
                std::string("the patched identity block does not carry the device's ") + what);
  };
  if (carried.ProductName != productName || productName.empty()) return missing("product name");
  if (carried.HardwareVersion != device.HardwareVersion) return missing("hardware version");
  if (device.SerialNumberFound &&
      (!carried.SerialNumberFound || carried.SerialNumber != device.SerialNumber)) {
    return missing("serial number");
  }
  if (!device.BrandLabel.empty() && carried.BrandLabel != device.BrandLabel) {
    return missing("brand label");
  }
  return {};
}

std::optional<std::vector<uint8_t>> BytesAtIdentityAddress(std::span<const uint8_t> image,
                                                           std::span<const int32_t> sectors,
                                                           std::span<const uint32_t> sectorStart,
                                                           uint32_t identityAddress,
                                                           int64_t* imageOffset) {
  int64_t offset = 0;  // where the current sector's bytes start in the image
  for (const int32_t sector : sectors) {
    const auto s = static_cast<size_t>(sector);
    const int64_t capacity = SectorCapacity(sectorStart, s);
    if (sector >= 0 && capacity > 0 && identityAddress >= sectorStart[s] &&
        identityAddress < sectorStart[s] + static_cast<uint64_t>(capacity)) {
      const int64_t from = offset + (identityAddress - sectorStart[s]);
      if (imageOffset != nullptr) *imageOffset = from;
      std::vector<uint8_t> block(IdentityBlockMax, IdentityFillByte);
      for (size_t k = 0; k < block.size(); ++k) {
        const int64_t at = from + static_cast<int64_t>(k);
        if (at < static_cast<int64_t>(image.size())) block[k] = image[static_cast<size_t>(at)];
      }
      return block;
    }
    offset += capacity;
  }
  return std::nullopt;
}

ImageCheckResult CheckIdentityLanding(std::span<const uint8_t> patchedImage,
                                      std::span<const int32_t> sectors,
                                      std::span<const uint32_t> sectorStart,
                                      const DeviceIdentity& device, const std::string& productName,
                                      const FlashPart& part) {
  int64_t landingOffset = 0;
  const std::optional<std::vector<uint8_t>> landing = BytesAtIdentityAddress(
      patchedImage, sectors, sectorStart, part.IdentityAddress, &landingOffset);
  if (!landing) return {};
  ImageCheckResult result = CheckPatchedIdentity(*landing, device, productName);
  if (result) return result;
  // The patch writes where the image's pointer says; when that is not where
  // the programming puts the device's identity, the device would lose it.
  uint32_t pointer = 0;
  if (patchedImage.size() >= static_cast<size_t>(IdentityOffsetPosition + 4)) {
    for (int k = 0; k < 4; ++k) {
      pointer |=
          static_cast<uint32_t>(patchedImage[static_cast<size_t>(IdentityOffsetPosition + k)])
          << (8 * k);
    }
  }
  const size_t what = result.Text.find("the device's");
  result.Text = "programmed as planned, the image would leave " + HexText(part.IdentityAddress, 6) +
                " without " + result.Text.substr(what == std::string::npos ? 0 : what) +
                " (its identity block pointer at offset 8192 says " + std::to_string(pointer) +
                ", the identity address gets image offset " + std::to_string(landingOffset) + ")";
  return result;
}

std::vector<uint8_t> ReadIdentityBlock(SeqFile& image) {
  const int64_t size = image.Size();
  if (size <= IdentityOffsetPosition + 4) return {};
  image.Seek(IdentityOffsetPosition);
  uint32_t offset = 0;
  for (int k = 0; k < 4; ++k) offset |= static_cast<uint32_t>(image.ReadByte()) << (8 * k);
  if (offset >= size) return {};
  std::vector<uint8_t> block(
      static_cast<size_t>(std::min<int64_t>(size - offset, IdentityBlockMax)));
  image.Seek(offset);
  for (uint8_t& b : block) b = image.ReadByte();
  return block;
}
