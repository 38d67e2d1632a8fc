// The checks an update passes before its first erase: once a sector is
// erased, a refusal comes too late (sector 1 holds the device's identity, and
// a device without one can no longer be updated). Pure code on the values the
// update has in hand: the image's sector lists, the device's sector table,
// the patched image's size and identity block, and the device's identity.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "identity.h"

enum class ImageCheckFailure : uint8_t {
  None,
  SectorOutOfRange,     // a listed sector is above 34 or beyond the device's table
  SectorListedTwice,    // a sector appears twice in the list
  SectorListsDisagree,  // more than one sector list, and they differ
  ImageTooLong,         // the image does not fit into the listed sectors
  IdentityNotCarried,   // the patched identity block lacks one of the device's values
};

struct ImageCheckResult {
  ImageCheckFailure Failure = ImageCheckFailure::None;
  std::string Text;  // plain English: which check failed, with the numbers
  explicit operator bool() const { return Failure == ImageCheckFailure::None; }
};

// What the update is about to do.
struct FlashPlan {
  // Every sector list found in the image's identity window, as listed.
  std::span<const std::vector<uint8_t>> SectorLists;
  // The device's sector table: entry i is the first address of sector i.
  std::span<const uint32_t> SectorStart;
  // Sectors the device's table describes (its count byte plus one).
  int32_t DeviceSectorCount = 0;
  // Size of the patched image that would be programmed.
  int64_t ImageSize = 0;
  const FlashPart* Part = &DevicePart();
};

// The sector lists name only sectors the device has, none twice, and agree;
// the image fits into the listed sectors as the programming fills them.
ImageCheckResult CheckFlashPlan(const FlashPlan& plan);

// The identity block of the patched image carries the product name the
// update checked and the device's hardware version, serial number (when the
// device has one) and brand label (when it has one), as the device's own
// identity read will find them.
ImageCheckResult CheckPatchedIdentity(std::span<const uint8_t> block, const DeviceIdentity& device,
                                      const std::string& productName);

// The 4096 bytes that programming `image` into `sectors` (ascending, as the
// update fills them, each to its size in the device's table) leaves at the
// device's identity address, 0xFF past the image's end: what the next
// "verify hardware" reads, and the image offset they come from. Nothing when no listed sector holds
// that address (the device keeps its own identity block).
std::optional<std::vector<uint8_t>> BytesAtIdentityAddress(std::span<const uint8_t> image,
                                                           std::span<const int32_t> sectors,
                                                           std::span<const uint32_t> sectorStart,
                                                           uint32_t identityAddress,
                                                           int64_t* imageOffset = nullptr);

// The patched image, programmed as planned, leaves the device an identity
// block with its product name, hardware version, serial number and brand
// label, wherever the image's own pointer at offset 8192 put the patch.
ImageCheckResult CheckIdentityLanding(std::span<const uint8_t> patchedImage,
                                      std::span<const int32_t> sectors,
                                      std::span<const uint32_t> sectorStart,
                                      const DeviceIdentity& device, const std::string& productName,
                                      const FlashPart& part = DevicePart());

// The identity block of an image file as the patch walks it: the bytes from
// the offset at 8192, at most 4096. Empty when the file is too short or the
// offset lies beyond its end. File errors throw InOutError.
std::vector<uint8_t> ReadIdentityBlock(SeqFile& image);
