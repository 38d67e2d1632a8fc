// The checks before the first erase: what the update is about to do is
// proven on the patched image and the device's sector table.
#include "firmware/image_check.h"

#include <gtest/gtest.h>

#include <optional>

#include "records.h"

namespace {

// The device's sector table as it reports it: the start of every sector of
// the part, then the end of the last.
std::vector<uint32_t> Table() {
  std::vector<uint32_t> starts{0};
  for (const uint32_t size : DevicePart().SectorSizes) starts.push_back(starts.back() + size);
  return starts;
}

const DeviceIdentity Device{"DEMO165", "1.0a", 4711, true, "LABEL-7"};

Bytes SerialBytes(uint32_t serial) {
  return {static_cast<uint8_t>(serial), static_cast<uint8_t>(serial >> 8),
          static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 24)};
}

// A firmware image of `size` bytes whose pointer at 8192 says `pointer`, with
// its identity block there and, elsewhere, the identity window at 16384 that
// the fit check reads (as the image builder of the simulator makes them).
Bytes ImageWithBlockAt(uint32_t pointer, size_t size = 80000) {
  Bytes image(size, 0x11);
  image = Place(image, 8192, SerialBytes(pointer));
  const Bytes window = Join({Record(TagBegin, ""), Record(TagProductName, "DEMO165"),
                             Record(TagHardwareVersion, "1.0b"), Record(TagEnd, "")});
  const Bytes block = Join({Record(TagBegin, ""), Record(TagProductName, "DEMO165"),
                            Record(TagHardwareVersion, "1.0b"),
                            Record(TagSerialNumber, 4, SerialBytes(1)), Record(TagEnd, "")});
  if (pointer != 16384) image = Place(image, 16384, window);
  return Place(image, pointer, block);
}

Bytes Patched(const Bytes& image) {
  const PatchedImage patched = PatchImage(
      image,
      PatchValues{Device.SerialNumber, Device.HardwareVersion, "DEMO165", Device.BrandLabel, true});
  EXPECT_EQ(patched.Outcome, PatchOutcome::Patched);
  return patched.Bytes;
}

TEST(BytesAtIdentityAddress, AreTheImageBytesTheProgrammingPutsThere) {
  const std::vector<uint32_t> table = Table();
  Bytes image(30000);
  for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 7);
  struct Row {
    const char* Name;
    std::vector<int32_t> Sectors;
    std::optional<int64_t> From;  // image offset of the first byte; none: nothing lands
  };
  const Row rows[] = {
      {"image from sector 0", {0, 1, 2}, 0x4000},
      {"image from sector 1", {1, 2}, 0},
      {"sector 0 skipped by the list", {1}, 0},
      {"sector 1 not listed", {0, 2, 3}, std::nullopt},
      {"no sectors", {}, std::nullopt},
      {"a sector the table does not have comes first", {40, 1}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    int64_t from = -1;
    const auto landed =
        BytesAtIdentityAddress(image, row.Sectors, table, DevicePart().IdentityAddress, &from);
    ASSERT_EQ(landed.has_value(), row.From.has_value());
    if (!landed) continue;
    EXPECT_EQ(from, *row.From);
    ASSERT_EQ(landed->size(), IdentityBlockMax);
    for (size_t k = 0; k < landed->size(); ++k) {
      const auto at = static_cast<size_t>(*row.From) + k;
      // Past the image's end the sector keeps its erased bytes.
      ASSERT_EQ((*landed)[k], at < image.size() ? image[at] : IdentityFillByte) << "byte " << k;
    }
  }
}

TEST(CheckIdentityLanding, RefusesAnImageThatWouldLeaveTheDeviceWithoutItsIdentity) {
  const std::vector<uint32_t> table = Table();
  const std::vector<int32_t> fromSectorZero{0, 1, 2, 3, 4};
  struct Row {
    const char* Name;
    Bytes Image;
    std::vector<int32_t> Sectors;
    DeviceIdentity Of;
    const char* Missing;  // nullptr: accepted
  };
  DeviceIdentity plain = Device;
  plain.SerialNumberFound = false;
  plain.BrandLabel.clear();
  const Row rows[] = {
      {"block at the identity address", Patched(ImageWithBlockAt(16384)), fromSectorZero, Device,
       nullptr},
      {"block before the window: the patch's fill covers the window",
       Patched(ImageWithBlockAt(16000)), fromSectorZero, Device, "product name"},
      {"block in sector 0: the window lands unpatched", Patched(ImageWithBlockAt(8196)),
       fromSectorZero, Device, "hardware version"},
      {"block further on: the window lands unpatched", Patched(ImageWithBlockAt(12000)),
       fromSectorZero, Device, "hardware version"},
      {"block past the window", Patched(ImageWithBlockAt(30000)), fromSectorZero, Device,
       "hardware version"},
      {"sector 1 not programmed: the device keeps its own block",
       Patched(ImageWithBlockAt(16000)),
       {8, 9},
       Device,
       nullptr},
      {"an image that starts at sector 1 puts its first bytes there",
       Patched(ImageWithBlockAt(16384)),
       {1, 2, 3, 4, 5},
       Device,
       "product name"},
      {"the image ends before the identity address", Patched(ImageWithBlockAt(9000, 12000)),
       fromSectorZero, Device, "product name"},
      {"a device without serial number and brand label", Patched(ImageWithBlockAt(16384)),
       fromSectorZero, plain, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    const ImageCheckResult result =
        CheckIdentityLanding(row.Image, row.Sectors, table, row.Of, "DEMO165");
    if (row.Missing == nullptr) {
      EXPECT_TRUE(result) << result.Text;
      continue;
    }
    EXPECT_EQ(result.Failure, ImageCheckFailure::IdentityNotCarried);
    EXPECT_NE(result.Text.find(std::string("without the device's ") + row.Missing),
              std::string::npos)
        << result.Text;
    EXPECT_NE(result.Text.find("0x004000"), std::string::npos) << result.Text;
  }
}

}  // namespace
