// Reading identity records: hex digits of the upload files, the scan of the
// block read from the device, the scan of an image's identity window and the
// check that an image fits the device.
#include "identity.h"

#include <algorithm>
#include <cstring>

namespace {

// The length byte of the record whose tag starts at `at`; a record cut before
// its length byte has no value bytes.
size_t LengthByteAt(std::span<const uint8_t> bytes, size_t at) {
  const size_t lengthAt = at + TagLength;
  return lengthAt < bytes.size() ? bytes[lengthAt] : 0;
}

// The value bytes of the record at `at` that lie within `bytes`: a record cut by
// the end of the block keeps only what is there.
std::span<const uint8_t> ValueAt(std::span<const uint8_t> bytes, size_t at) {
  const size_t valueAt = at + RecordHeaderLength;
  if (valueAt >= bytes.size()) return {};
  const size_t length = std::min(LengthByteAt(bytes, at), bytes.size() - valueAt);
  return bytes.subspan(valueAt, length);
}

std::string TextOf(std::span<const uint8_t> value) {
  return std::string(reinterpret_cast<const char*>(value.data()), value.size());
}

// Without its last character; an empty text stays empty.
std::string WithoutLast(const std::string& text) {
  return text.empty() ? text : text.substr(0, text.size() - 1);
}

}  // namespace

uint8_t HexDigitValue(char c) {
  // "0" lands in the default branch on purpose: it is worth 0 like any stray
  // character, so separators in an upload file silently become zeros.
  if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

uint8_t HexPairValue(char high, char low) {
  return static_cast<uint8_t>((16 * HexDigitValue(high) + HexDigitValue(low)) % 256);
}

bool TagAt(std::span<const uint8_t> bytes, size_t at, const char* tag) {
  if (at > bytes.size() || bytes.size() - at < TagLength) return false;
  return std::memcmp(bytes.data() + at, tag, TagLength) == 0;
}

void ScanDeviceIdentity(std::span<const uint8_t> block, DeviceIdentity& identity) {
  // The found flag belongs to this read alone; the number itself survives a
  // read that has no serial record, as do the other values.
  identity.SerialNumberFound = false;
  for (size_t p = 0; block.size() >= TagLength && p <= block.size() - TagLength; ++p) {
    if (TagAt(block, p, TagProductName)) {
      identity.ProductName = TextOf(ValueAt(block, p));
    } else if (TagAt(block, p, TagHardwareVersion)) {
      identity.HardwareVersion = TextOf(ValueAt(block, p));
    } else if (TagAt(block, p, TagSerialNumber)) {
      // Always the four bytes after the length byte, whatever it says; bytes
      // that were not received count as 0.
      uint32_t number = 0;
      for (size_t k = 0; k < 4; ++k) {
        const size_t at = p + RecordHeaderLength + k;
        if (at < block.size()) number |= static_cast<uint32_t>(block[at]) << (8 * k);
      }
      identity.SerialNumber = number;
      identity.SerialNumberFound = true;
    } else if (TagAt(block, p, TagBrandLabel)) {
      identity.BrandLabel = TextOf(ValueAt(block, p));
    }
  }
}

ImageIdentity ScanIdentityWindow(std::span<const uint8_t> window) {
  ImageIdentity image;
  for (size_t p = 0; window.size() >= TagLength && p <= window.size() - TagLength; ++p) {
    if (TagAt(window, p, TagSectorList)) {
      // Only the sector bytes that lie in the window count; numbers above the
      // last sector count but select nothing.
      const std::span<const uint8_t> sectors = ValueAt(window, p);
      image.SelectedSectorCount = static_cast<int32_t>(sectors.size());
      image.SectorLists.emplace_back(sectors.begin(), sectors.end());
      for (const uint8_t sector : sectors) {
        if (sector < MaxFlashSectors) image.SectorSelected[sector] = 1;
      }
    } else if (TagAt(window, p, TagProductName)) {
      image.ProductName = TextOf(ValueAt(window, p));
    } else if (TagAt(window, p, TagHardwareVersion)) {
      image.HardwareVersion = TextOf(ValueAt(window, p));
    } else if (TagAt(window, p, TagFirmwareVersion)) {
      image.FirmwareVersion = TextOf(ValueAt(window, p));
    }
  }
  return image;
}

bool FitsHardware(const std::string& deviceProductName, const std::string& deviceHardwareVersion,
                  const std::string& imageProductName, const std::string& imageHardwareVersion) {
  // The last character of a hardware version is a revision letter that does
  // not change what the firmware may run on.
  return !imageProductName.empty() && deviceProductName == imageProductName &&
         WithoutLast(deviceHardwareVersion) == WithoutLast(imageHardwareVersion);
}
