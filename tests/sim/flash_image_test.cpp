// The flash model, the device's identity block and the image builder's layout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/boards.h"
#include "sim/flash.h"
#include "sim/image_builder.h"
#include "sim/records.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// The value of the first record with `tag` in `area`, as the program's scan
// would find it; nullopt when there is none.
std::optional<Bytes> FindRecord(std::span<const uint8_t> area, std::string_view tag) {
  for (std::size_t p = 0; p + TagLength + 1 <= area.size(); ++p) {
    if (std::memcmp(area.data() + p, tag.data(), TagLength) != 0) continue;
    const std::size_t length = area[p + TagLength];
    if (p + TagLength + 1 + length > area.size()) return std::nullopt;
    return Bytes(area.begin() + static_cast<std::ptrdiff_t>(p + 12),
                 area.begin() + static_cast<std::ptrdiff_t>(p + 12 + length));
  }
  return std::nullopt;
}

Bytes Str(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(FlashLayout, SectorTableOfTheBottomBootPart) {
  struct Row {
    uint32_t address;
    int sector;
  };
  const Row rows[] = {{0x000000, 0},  {0x003FFF, 0},  {0x004000, 1},  {0x006000, 2},
                      {0x007FFF, 2},  {0x008000, 3},  {0x00FFFF, 3},  {0x010000, 4},
                      {0x1F0000, 34}, {0x1FFFFF, 34}, {0x200000, -1}, {0xFFFFFFFF, -1}};
  for (const Row& row : rows) EXPECT_EQ(SectorOf(row.address), row.sector) << row.address;
  EXPECT_EQ(SectorSize(0), 16384u);
  EXPECT_EQ(SectorSize(3), 32768u);
  EXPECT_EQ(SectorSize(34), 65536u);
}

TEST(FlashLayout, DefaultContent) {
  DeviceIdentity identity{"UNIT", "1.2a", 0x12345678u, "XY"};
  const int pattern[] = {8, 9, 1};
  const Flash flash = MakeFlash(identity, pattern);
  const auto area = flash.Bytes().subspan(IdentityAddress, 4096);
  EXPECT_EQ(FindRecord(area, TagProductName), Str("UNIT"));
  EXPECT_EQ(FindRecord(area, TagHardwareVersion), Str("1.2a"));
  EXPECT_EQ(FindRecord(area, TagSerialNumber), Bytes({0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(FindRecord(area, TagBrandLabel), Str("XY"));
  EXPECT_EQ(FindRecord(area, TagBegin), Bytes{});
  EXPECT_EQ(FindRecord(area, TagEnd), Bytes{});
  // The block opens at the identity address itself.
  EXPECT_EQ(std::memcmp(area.data(), TagBegin.data(), TagLength), 0);
  // Sectors 8 and 9 carry the pattern and no byte of it is erased-looking.
  for (uint32_t a = SectorTable[8]; a < SectorTable[10]; ++a) {
    ASSERT_EQ(flash.At(a), PatternByte(a));
    ASSERT_NE(flash.At(a), 0xFF);
  }
  EXPECT_NE(Bytes(flash.Sector(8).begin(), flash.Sector(8).begin() + 64),
            Bytes(flash.Sector(9).begin(), flash.Sector(9).begin() + 64));
  for (const int s : {0, 2, 7, 10, 34}) {
    for (const uint8_t b : flash.Sector(s)) ASSERT_EQ(b, 0xFF) << s;
  }
}

TEST(FlashLayout, BlankBoardHasAnErasedIdentityBlock) {
  BoardSettings settings;
  settings.NoIdentity = true;
  settings.PatternSectors = {1, 8};  // a pattern asked for the identity's sector too
  const Board board = MakeBoard(settings);
  const auto block = board.Memory.Bytes().subspan(IdentityAddress, IdentityBlockSize);
  EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(board.Memory.At(IdentityAddress + IdentityBlockSize),
            PatternByte(IdentityAddress + IdentityBlockSize));
  EXPECT_EQ(board.Memory.At(SectorTable[8]), PatternByte(SectorTable[8]));
  EXPECT_EQ(board.Label, "blank");
}

TEST(FlashLayout, AbsentValuesLeaveTheirRecordsOut) {
  const Bytes block = BuildIdentityBlock({std::nullopt, "2.0", std::nullopt, std::nullopt});
  EXPECT_FALSE(FindRecord(block, TagProductName));
  EXPECT_FALSE(FindRecord(block, TagSerialNumber));
  EXPECT_FALSE(FindRecord(block, TagBrandLabel));
  EXPECT_EQ(block.size(), 12u + 15u + 12u);
  // An empty text is a record of length 0, not an absent one.
  EXPECT_EQ(FindRecord(BuildIdentityBlock({"", {}, {}, {}}), TagProductName), Bytes{});
}

TEST(FlashLayout, SaveAndLoadRoundTrip) {
  char path[] = "/tmp/sim_flash_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  Flash flash;
  flash.MutableBytes()[0] = 1;
  flash.MutableBytes()[FlashSize - 1] = 2;
  std::string error;
  ASSERT_TRUE(flash.Save(path, &error)) << error;
  Flash loaded;
  ASSERT_TRUE(loaded.Load(path, &error)) << error;
  EXPECT_TRUE(std::equal(loaded.Bytes().begin(), loaded.Bytes().end(), flash.Bytes().begin()));
  // A file of the wrong size is refused and leaves the flash as it was.
  ASSERT_EQ(truncate(path, 1000), 0);
  EXPECT_FALSE(loaded.Load(path, &error));
  EXPECT_EQ(loaded.At(0), 1);
  unlink(path);
}

uint32_t PointerAt(const Bytes& image) {
  return image[8192] | image[8193] << 8 | image[8194] << 16 |
         static_cast<uint32_t>(image[8195]) << 24;
}

TEST(ImageBuilder, DefaultLayout) {
  ImageOptions options;
  std::string error;
  const auto image = BuildImage(options, &error);
  ASSERT_TRUE(image) << error;
  ASSERT_EQ(image->size(), 65536u);
  EXPECT_EQ(PointerAt(*image), 16384u);
  const auto block = std::span(*image).subspan(16384, 4096);
  EXPECT_EQ(std::memcmp(block.data(), TagBegin.data(), TagLength), 0);
  EXPECT_EQ(FindRecord(block, TagProductName), Str("DEMO165"));
  EXPECT_EQ(FindRecord(block, TagHardwareVersion), Str("1.0b"));
  EXPECT_EQ(FindRecord(block, TagFirmwareVersion), Str("2.00"));
  // 64K from address 0 covers sectors 0 to 3.
  EXPECT_EQ(FindRecord(block, TagSectorList), Bytes({0, 1, 2, 3}));
  EXPECT_EQ(FindRecord(block, TagSerialNumber), Bytes({0, 0, 0, 0}));
  EXPECT_TRUE(FindRecord(block, TagEnd));
  // Content outside the records is never the erased value.
  std::size_t erasedLooking = 0;
  for (std::size_t i = 0; i < 8192; ++i) erasedLooking += (*image)[i] == 0xFF;
  EXPECT_EQ(erasedLooking, 0u);
  // The same seed gives the same image, another seed another.
  EXPECT_EQ(*BuildImage(options, nullptr), *image);
  options.Seed = 2;
  EXPECT_NE(*BuildImage(options, nullptr), *image);
}

TEST(ImageBuilder, SeparateBlockAndWindow) {
  ImageOptions options;
  options.Size = 200000;
  options.IdentityOffset = 30000;
  options.Sectors = Bytes{3, 5, 4};
  options.ProductName = "P";
  const auto image = BuildImage(options, nullptr);
  ASSERT_TRUE(image);
  EXPECT_EQ(PointerAt(*image), 30000u);
  const auto block = std::span(*image).subspan(30000, 4096);
  EXPECT_EQ(std::memcmp(block.data(), TagBegin.data(), TagLength), 0);
  EXPECT_EQ(FindRecord(block, TagSectorList), Bytes({3, 5, 4}));
  EXPECT_TRUE(FindRecord(block, TagSerialNumber));
  const auto window = std::span(*image).subspan(16384, 4096);
  EXPECT_EQ(std::memcmp(window.data(), TagProductName.data(), TagLength), 0);
  EXPECT_EQ(FindRecord(window, TagProductName), Str("P"));
  EXPECT_EQ(FindRecord(window, TagHardwareVersion), Str("1.0b"));
  EXPECT_EQ(FindRecord(window, TagFirmwareVersion), Str("2.00"));
  EXPECT_EQ(FindRecord(window, TagSectorList), Bytes({3, 5, 4}));
  // The window holds no BEGIN or serial record: only the block is patched.
  EXPECT_FALSE(FindRecord(window, TagBegin));
  EXPECT_FALSE(FindRecord(window, TagSerialNumber));
}

TEST(ImageBuilder, BrokenIdentityBlocksForTryingRefusals) {
  ImageOptions options;
  options.Sectors = Bytes{3, 3, 0, 1};
  options.SecondSectors = Bytes{0};
  options.SerialRecord = false;
  const auto image = BuildImage(options, nullptr);
  ASSERT_TRUE(image);
  const auto block = std::span(*image).subspan(16384, 4096);
  EXPECT_FALSE(FindRecord(block, TagSerialNumber));
  EXPECT_EQ(FindRecord(block, TagSectorList), Bytes({3, 3, 0, 1}));
  // The second list follows the first record directly.
  const auto first =
      std::search(block.begin(), block.end(), TagSectorList.begin(), TagSectorList.end());
  ASSERT_NE(first, block.end());
  const auto rest = std::span(first + TagLength + 1 + 4, block.end());
  EXPECT_EQ(std::memcmp(rest.data(), TagSectorList.data(), TagLength), 0);
  EXPECT_EQ(FindRecord(rest, TagSectorList), Bytes({0}));
}

TEST(ImageBuilder, RefusesPartsThatDoNotFit) {
  struct Row {
    const char* name;
    uint32_t size;
    uint32_t offset;
    bool ok;
  };
  const Bytes sectors = {0, 1, 2, 3};
  const auto block = static_cast<uint32_t>(ImageIdentityBlock(ImageOptions{}, sectors).size());
  const auto window = static_cast<uint32_t>(ImageIdentityWindow(ImageOptions{}, sectors).size());
  const Row rows[] = {
      {"block just fits at the end", 16384 + block, 16384, true},
      {"block one byte past the end", 16384 + block - 1, 16384, false},
      {"window past a small image", 12000, 9000, false},
      {"block over the pointer", 65536, 8190, false},
      {"block right after the pointer", 65536, 8196, true},
      {"block overlapping the window", 65536, 16384 + window - 1, false},
      {"block ending where the window starts", 65536, 16384 - block, true},
      {"block right after the window", 65536, 16384 + window, true},
  };
  for (const Row& row : rows) {
    ImageOptions options;
    options.Size = row.size;
    options.IdentityOffset = row.offset;
    options.Sectors = sectors;
    std::string error;
    EXPECT_EQ(BuildImage(options, &error).has_value(), row.ok) << row.name << ": " << error;
    if (!row.ok) {
      EXPECT_FALSE(error.empty()) << row.name;
    }
  }
}

TEST(ImageBuilder, SectorLists) {
  struct Row {
    const char* text;
    bool ok;
    Bytes sectors;
  };
  const Row rows[] = {
      {"0,1,2", true, {0, 1, 2}},
      {"8", true, {8}},
      {"0-3,8,9", true, {0, 1, 2, 3, 8, 9}},
      {"3,5,4", true, {3, 5, 4}},
      {"34-34", true, {34}},
      {"200", true, {200}},
      {"", false, {}},
      {"1,", false, {}},
      {"3-1", false, {}},
      {"256", false, {}},
      {"0-255", false, {}},
      {"a", false, {}},
      {"-1", false, {}},
  };
  for (const Row& row : rows) {
    Bytes sectors = {99};
    EXPECT_EQ(ParseSectorList(row.text, sectors, nullptr), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(sectors, row.sectors) << row.text;
    }
  }
  Bytes all;
  ASSERT_TRUE(ParseSectorList("0-34", all, nullptr));
  EXPECT_EQ(all.size(), 35u);
  EXPECT_EQ(SectorsCovering(1), Bytes({0}));
  EXPECT_EQ(SectorsCovering(16385), Bytes({0, 1}));
  EXPECT_EQ(SectorsCovering(FlashSize).size(), 35u);
}

}  // namespace
}  // namespace sim
