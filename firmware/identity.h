// Identity records and firmware images: the record format, the scan of a
// device's identity block, the identity window of an image with its sector
// list, the fit check, and the identity patch that carries a device's values
// into a new image. Pure code on bytes and files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "flash_part.h"
#include "platform/seq_file.h"

// An identity record: an 11-byte tag, one length byte, that many value bytes.
constexpr size_t TagLength = 11;
constexpr size_t RecordHeaderLength = TagLength + 1;
constexpr size_t RecordValueMax = 255;  // the most a length byte can tell
inline constexpr char TagBegin[] = "BEGIN______";
inline constexpr char TagProductName[] = "PRODUKTNAME";
inline constexpr char TagHardwareVersion[] = "HARDWAREVER";
inline constexpr char TagFirmwareVersion[] = "FIRMWAREVER";
inline constexpr char TagSerialNumber[] = "SERIAL_NO  ";
inline constexpr char TagBrandLabel[] = "BRANDLABEL ";
inline constexpr char TagSectorList[] = "SOFTWARESNR";
inline constexpr char TagEnd[] = "END________";

// Fixed places in a firmware image.
constexpr int64_t IdentityOffsetPosition = 8192;  // 4 bytes, little-endian: P
constexpr int64_t IdentityWindowOffset = 16384;   // the window the update job scans
constexpr size_t IdentityWindowSize = 4096;
constexpr size_t IdentityBlockMax = 4096;  // bytes of an image's block that are walked
constexpr size_t RewrittenBlockMax = IdentityBlockMax + 1;
constexpr uint8_t IdentityFillByte = 0xFF;  // fills a rewritten block up to its old length

// Value of one hexadecimal digit: "1".."9", "A".."F", "a".."f"; 0 otherwise.
uint8_t HexDigitValue(char c);
// One upload byte from two characters: 16 x first + second, modulo 256.
uint8_t HexPairValue(char high, char low);

// True when the 11 bytes at `at` are `tag`; false when they do not all lie
// within `bytes`.
bool TagAt(std::span<const uint8_t> bytes, size_t at, const char* tag);

// The device's identity values, as "verify hardware" takes them.
struct DeviceIdentity {
  std::string ProductName;
  std::string HardwareVersion;
  uint32_t SerialNumber = 0;
  bool SerialNumberFound = false;
  std::string BrandLabel;
};

// Scans a block received from the device. Clears SerialNumberFound first;
// every other value is replaced only where its record is found, the record at
// the highest position winning. A record cut by the end of `block` keeps only
// the bytes that were received (missing serial-number bytes count as 0).
void ScanDeviceIdentity(std::span<const uint8_t> block, DeviceIdentity& identity);

// What the update job takes from an image's identity window.
struct ImageIdentity {
  std::string ProductName;
  std::string HardwareVersion;
  std::string FirmwareVersion;  // "FIRMWAREVER", for the records; not checked
  std::array<uint8_t, MaxFlashSectors> SectorSelected{};
  int32_t SelectedSectorCount = 0;
  // Every sector list found, in the order found, each as listed (the bytes
  // within the window only).
  std::vector<std::vector<uint8_t>> SectorLists;
};

// Scans the bytes read of an image's identity window (at most 4096). A record
// cut by the end of `window` keeps only the bytes that lie within it; its
// sector count is the number of sector bytes that lie within it.
ImageIdentity ScanIdentityWindow(std::span<const uint8_t> window);

// The image fits when the product names are equal and not empty, and the
// hardware versions are equal but for their last characters.
bool FitsHardware(const std::string& deviceProductName, const std::string& deviceHardwareVersion,
                  const std::string& imageProductName, const std::string& imageHardwareVersion);

// The values a patch writes into an image's identity block.
struct PatchValues {
  uint32_t SerialNumber = 0;
  std::string HardwareVersion;
  std::string ProductName;
  std::string BrandLabel;
  // The device reported a serial number: an image without a "SERIAL_NO  "
  // record gets one just before its end record, so that the number is not
  // lost from the flash.
  bool InsertSerialNumber = false;
};

struct RewrittenBlock {
  std::array<uint8_t, RewrittenBlockMax> Bytes{};
  size_t Length = 0;            // bytes produced by the walk, at most RewrittenBlockMax
  bool BeginSeen = false;       // a "BEGIN______" record was met: the block is usable
  bool TooLong = false;         // the walk would have produced more than RewrittenBlockMax bytes
  bool SerialInserted = false;  // a "SERIAL_NO  " record was added before the end record
};

// Walks an identity block (at most 4096 bytes) and rewrites its records with
// `values`. Never reads outside `input` nor writes outside the result: a
// record cut by the end of `input` is copied or skipped only as far as it
// lies within it, and bytes beyond RewrittenBlockMax are dropped and TooLong
// set (the walk still goes on to find "BEGIN______"). Values longer than
// RecordValueMax are written cut to that length.
void RewriteIdentityBlock(std::span<const uint8_t> input, const PatchValues& values,
                          RewrittenBlock& out);

enum class PatchOutcome {
  Patched,          // the temporary image is complete; imageFile is it, at offset 0
  NoIdentityBlock,  // image too short, or no "BEGIN______" record: nothing written
  BlockTooLong,     // the rewritten block would exceed its storage: nothing written
  TempNotCreated,   // the temporary image could not be created (or is the image itself):
                    // nothing written
  TempNotOpened,    // written, but could not be opened again for reading
};

// An image with its identity block rewritten, in memory.
struct PatchedImage {
  PatchOutcome Outcome = PatchOutcome::NoIdentityBlock;
  // The pointer at offset 8192 lies past the image's end: reading the block
  // is a read past the end of the file.
  bool BlockPastEnd = false;
  bool SerialInserted = false;  // a serial-number record was added
  int64_t BlockOffset = -1;     // the pointer's value, once read
  std::vector<uint8_t> Bytes;   // the whole patched image, when Patched
};
// Rewrites the identity block of `image` (found through the pointer at
// offset 8192) with `values`; never reads outside `image`.
PatchedImage PatchImage(std::span<const uint8_t> image, const PatchValues& values);

// Writes `bytes` as the private temporary image and opens it read-only as
// `imageFile`. File errors while writing throw InOutError.
PatchOutcome WriteTemporaryImage(std::span<const uint8_t> bytes, const std::string& temporaryPath,
                                 SeqFile& imageFile);

// Writes `imageFile` with its identity block rewritten to `temporaryPath` and,
// on success, leaves `imageFile` as that file opened read-only at offset 0.
// File errors throw InOutError.
// `serialInserted`, when given, tells whether a serial-number record was added.
PatchOutcome PatchIdentityBlock(SeqFile& imageFile, const std::string& temporaryPath,
                                const PatchValues& values, bool* serialInserted = nullptr);
