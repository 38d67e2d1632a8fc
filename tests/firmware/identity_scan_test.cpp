// Reading identity records: hex pairs of the upload files, the device's
// identity block, an image's identity window and the fit check.
#include <gtest/gtest.h>

#include <set>

#include "firmware/identity.h"
#include "records.h"

namespace {

struct HexRow {
  char high;
  char low;
  uint8_t value;
};

TEST(HexPairValue, DigitsAndStrayCharacters) {
  const HexRow rows[] = {
      {'4', 'a', 0x4A},
      {'4', 'A', 0x4A},
      {'G', '1', 0x01},
      {'0', '0', 0x00},
      {'f', 'F', 0xFF},
      {'9', '1', 0x91},
      {'1', '9', 0x19},
      // Neighbours of the digit ranges are no digits.
      {'/', '1', 0x01},
      {':', '1', 0x01},
      {'@', '1', 0x01},
      {'`', '1', 0x01},
      {'g', '1', 0x01},
      {'1', 'g', 0x10},
      {'1', 'G', 0x10},
      {'1', ' ', 0x10},
      {'1', '\n', 0x10},
      {'\xC4', '\xB4', 0x00},
  };
  for (const HexRow& row : rows) {
    EXPECT_EQ(HexPairValue(row.high, row.low), row.value) << "'" << row.high << row.low << "'";
  }
}

TEST(TagAt, NeedsAllElevenBytesWithinTheBlock) {
  const Bytes block = Join({Filler(3), Text("END________")});
  EXPECT_TRUE(TagAt(block, 3, TagEnd));
  EXPECT_FALSE(TagAt(block, 2, TagEnd));
  const Bytes cut(block.begin(), block.end() - 1);
  EXPECT_FALSE(TagAt(cut, 3, TagEnd));
  EXPECT_FALSE(TagAt(block, block.size(), TagEnd));
  EXPECT_FALSE(TagAt(block, SIZE_MAX - 2, TagEnd));
}

Bytes DeviceBlock(size_t at, const Bytes& what) {
  return Place(Filler(4096), at, what);
}

struct DeviceRow {
  const char* name;
  Bytes block;
  DeviceIdentity expected;
};

TEST(ScanDeviceIdentity, TakesRecordsWhereverTheyStand) {
  // Every scan starts from the values of an earlier read.
  const DeviceIdentity before{"OLDPROD", "OLDHW", 99, true, "OLDLABEL"};
  const DeviceRow rows[] = {
      {"product at position 0",
       DeviceBlock(0, Record(TagProductName, "ABCDE")),
       {"ABCDE", "OLDHW", 99, false, "OLDLABEL"}},
      {"empty product replaces the old one",
       DeviceBlock(0, Record(TagProductName, "")),
       {"", "OLDHW", 99, false, "OLDLABEL"}},
      {"later record wins",
       DeviceBlock(100, Join({Record(TagProductName, "FIRST"), Filler(7),
                              Record(TagProductName, "SECOND")})),
       {"SECOND", "OLDHW", 99, false, "OLDLABEL"}},
      {"all four values",
       DeviceBlock(50, Join({Record(TagHardwareVersion, "1.2a"),
                             Record(TagSerialNumber, 4, {0x01, 0x02, 0x00, 0x00}),
                             Record(TagBrandLabel, "XY"), Record(TagProductName, "P")})),
       {"P", "1.2a", 513, true, "XY"}},
      {"serial number ignores its length byte",
       DeviceBlock(10, Record(TagSerialNumber, 1, {0x78, 0x56, 0x34, 0x12})),
       {"OLDPROD", "OLDHW", 0x12345678, true, "OLDLABEL"}},
      {"serial tag needs its two blanks",
       DeviceBlock(10, Join({Text("SERIAL_NO X"), Bytes{4, 1, 2, 3, 4}})),
       {"OLDPROD", "OLDHW", 99, false, "OLDLABEL"}},
      {"brand label tag needs its blank",
       DeviceBlock(10, Join({Text("BRANDLABELX"), Bytes{2, 'Q', 'Q'}})),
       {"OLDPROD", "OLDHW", 99, false, "OLDLABEL"}},
      {"lower case is no tag",
       DeviceBlock(10, Join({Text("produktname"), Bytes{2, 'Q', 'Q'}})),
       {"OLDPROD", "OLDHW", 99, false, "OLDLABEL"}},
      {"tag text inside a value is found",
       DeviceBlock(10, Record(TagBrandLabel, 14, Record(TagProductName, "QQ"))),
       {"QQ", "OLDHW", 99, false, std::string("PRODUKTNAME\x02QQ", 14)}},
      {"text cut by the end of the block",
       DeviceBlock(4096 - 15, Record(TagProductName, 10, Text("ABCDEFGHIJ"))),
       {"ABC", "OLDHW", 99, false, "OLDLABEL"}},
      {"tag ending the block has no value",
       DeviceBlock(4096 - 11, Text("HARDWAREVER")),
       {"OLDPROD", "", 99, false, "OLDLABEL"}},
      {"serial number cut by the end of the block",
       DeviceBlock(4096 - 14, Record(TagSerialNumber, 4, {0x11, 0x22, 0x33, 0x44})),
       {"OLDPROD", "OLDHW", 0x2211, true, "OLDLABEL"}},
  };
  for (const DeviceRow& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(row.block.size(), 4096u);
    DeviceIdentity identity = before;
    ScanDeviceIdentity(row.block, identity);
    EXPECT_EQ(identity.ProductName, row.expected.ProductName);
    EXPECT_EQ(identity.HardwareVersion, row.expected.HardwareVersion);
    EXPECT_EQ(identity.SerialNumber, row.expected.SerialNumber);
    EXPECT_EQ(identity.SerialNumberFound, row.expected.SerialNumberFound);
    EXPECT_EQ(identity.BrandLabel, row.expected.BrandLabel);
  }
}

TEST(ScanDeviceIdentity, ReadsNothingBeyondTheBytesGiven) {
  // The record's value lies in the caller's buffer but past the span handed in.
  const Bytes buffer = Join({Record(TagProductName, "ABCDEFGH")});
  DeviceIdentity identity;
  ScanDeviceIdentity(std::span(buffer).first(14), identity);
  EXPECT_EQ(identity.ProductName, "AB");
  identity = {};
  ScanDeviceIdentity(std::span(buffer).first(10), identity);
  EXPECT_EQ(identity.ProductName, "");
}

struct WindowRow {
  const char* name;
  Bytes window;
  int32_t count;
  std::set<int> sectors;
  std::string product;
  std::string hardware;
};

Bytes Sectors(std::initializer_list<uint8_t> list) {
  return Record(TagSectorList, static_cast<uint8_t>(list.size()), Bytes(list));
}

TEST(ScanIdentityWindow, TakesNamesAndSectorList) {
  const WindowRow rows[] = {
      {"empty window", {}, 0, {}, "", ""},
      {"window shorter than a tag", Text("SOFTWARESN"), 0, {}, "", ""},
      {"sectors 3, 5, 4", Join({Filler(20), Sectors({3, 5, 4})}), 3, {3, 4, 5}, "", ""},
      {"numbers above 34 count but select nothing", Sectors({35, 7, 255, 34}), 4, {7, 34}, "", ""},
      {"count 0", Join({Sectors({}), Filler(5)}), 0, {}, "", ""},
      {"last list gives the count, all lists their flags",
       Join({Sectors({1, 2}), Filler(3), Sectors({9})}),
       1,
       {1, 2, 9},
       "",
       ""},
      {"names, last one wins",
       Join({Record(TagProductName, "A"), Record(TagHardwareVersion, "1.2a"),
             Record(TagProductName, "B")}),
       0,
       {},
       "B",
       "1.2a"},
      {"list cut by the end of the window",
       Join({Filler(30), Record(TagSectorList, 5, {8, 9})}),
       2,
       {8, 9},
       "",
       ""},
      {"name cut by the end of the window",
       Join({Filler(30), Record(TagHardwareVersion, 9, Text("1.2"))}),
       0,
       {},
       "",
       "1.2"},
      {"tag not ending within the window", Join({Filler(30), Text("PRODUKTNAM")}), 0, {}, "", ""},
  };
  for (const WindowRow& row : rows) {
    SCOPED_TRACE(row.name);
    const ImageIdentity image = ScanIdentityWindow(row.window);
    EXPECT_EQ(image.SelectedSectorCount, row.count);
    for (int s = 0; s < MaxFlashSectors; ++s) {
      EXPECT_EQ(image.SectorSelected[s] != 0, row.sectors.count(s) == 1) << "sector " << s;
    }
    EXPECT_EQ(image.ProductName, row.product);
    EXPECT_EQ(image.HardwareVersion, row.hardware);
  }
}

struct FitRow {
  const char* deviceProduct;
  const char* deviceHardware;
  const char* imageProduct;
  const char* imageHardware;
  bool fits;
};

TEST(FitsHardware, SameProductAndVersionButForTheLastCharacter) {
  const FitRow rows[] = {
      {"P", "1.2a", "P", "1.2b", true},  {"P", "1.2a", "P", "1.3a", false},
      {"P", "1.2a", "Q", "1.2a", false}, {"", "1.2a", "P", "1.2a", false},
      {"", "1.2a", "", "1.2a", false},   {"P", "", "P", "", true},
      {"P", "a", "P", "b", true},        {"P", "", "P", "b", true},
      {"P", "1.2", "P", "1.2a", false},  {"P", "1.2a", "P", "1.2", false},
      {"P", "1.2a", "p", "1.2a", false}, {"PQ", "1.2a", "P", "1.2a", false},
  };
  for (const FitRow& row : rows) {
    EXPECT_EQ(
        FitsHardware(row.deviceProduct, row.deviceHardware, row.imageProduct, row.imageHardware),
        row.fits)
        << row.deviceProduct << "/" << row.deviceHardware << " vs " << row.imageProduct << "/"
        << row.imageHardware;
  }
}

}  // namespace
