// The identity patch: the walk over an identity block, and the temporary image
// written from a chosen image file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "firmware/identity.h"
#include "records.h"

namespace {

const Bytes Serial513 = {0x01, 0x02, 0x00, 0x00};

// The device of the worked example: hardware B2, serial 513, brand label XY.
PatchValues Device(const std::string& brandLabel = "XY") {
  return {513, "B2", "PROD", brandLabel};
}

struct RewriteRow {
  const char* name;
  Bytes input;
  PatchValues values;
  Bytes expected;
  bool beginSeen;
};

TEST(RewriteIdentityBlock, WalksTheRecords) {
  const Bytes begin = Record(TagBegin, "");
  const Bytes end = Record(TagEnd, "");
  const RewriteRow rows[] = {
      {"worked example",
       Join({begin, Record(TagHardwareVersion, "A1"), Record(TagSerialNumber, 4, {9, 9, 9, 9}), end,
             Filler(100)}),
       Device(),
       Join({begin, Record(TagHardwareVersion, "B2"), Record(TagSerialNumber, 4, Serial513),
             Record(TagBrandLabel, "XY"), end}),
       true},
      {"no brand label anywhere: end copied with its value", Join({begin, Record(TagEnd, "zz")}),
       Device(""), Join({begin, Record(TagEnd, "zz")}), true},
      {"brand label inserted before the end, whose value is dropped",
       Join({begin, Filler(3), Record(TagEnd, "zzz"), Text("after")}), Device(),
       Join({begin, Filler(3), Record(TagBrandLabel, "XY"), end}), true},
      {"image's brand label kept for a device without one",
       Join({begin, Record(TagBrandLabel, "OLD"), Record(TagEnd, "z")}), Device(""),
       Join({begin, Record(TagBrandLabel, "OLD"), Record(TagEnd, "z")}), true},
      {"image's brand label replaced, nothing inserted",
       Join({begin, Record(TagBrandLabel, "OLD"), Record(TagEnd, "z")}), Device(),
       Join({begin, Record(TagBrandLabel, "XY"), Record(TagEnd, "z")}), true},
      {"product name rewritten, begin value copied",
       Join({Filler(2), Record(TagBegin, "vv"), Record(TagProductName, "OLDPRODUCTNAME"), end}),
       Device(""), Join({Filler(2), Record(TagBegin, "vv"), Record(TagProductName, "PROD"), end}),
       true},
      {"serial record re-lengthed, walk skips by the old length",
       Join({begin, Record(TagSerialNumber, 2, Text("ab")), Text("c"),
             Record(TagSerialNumber, 6, Text("HARDWA")), end}),
       Device(""),
       Join({begin, Record(TagSerialNumber, 4, Serial513), Text("c"),
             Record(TagSerialNumber, 4, Serial513), end}),
       true},
      {"tag text inside an unknown record is taken for a record",
       Join({begin, Record(TagFirmwareVersion, 14, Record(TagHardwareVersion, "A1")), end}),
       Device(""),
       Join({begin, Text("FIRMWAREVER"), Bytes{14}, Record(TagHardwareVersion, "B2"), end}), true},
      {"near-miss tags pass as plain bytes",
       Join({begin, Text("SERIAL_NO X"), Text("serial_no  "), Text("BRANDLABELX"), end}),
       Device(""),
       Join({begin, Text("SERIAL_NO X"), Text("serial_no  "), Text("BRANDLABELX"), end}), true},
      {"no end record: everything walked is kept",
       Join({Text("xy"), begin, Record(TagHardwareVersion, "A1"), Text("tail")}), Device(),
       Join({Text("xy"), begin, Record(TagHardwareVersion, "B2"), Text("tail")}), true},
      {"no begin record", Join({Record(TagHardwareVersion, "A1"), end}), Device(""),
       Join({Record(TagHardwareVersion, "B2"), end}), false},
      {"empty block", {}, Device(), {}, false},
      {"begin record cut by the end of the block",
       Join({Filler(4), Record(TagBegin, 10, Text("abc"))}), Device(),
       Join({Filler(4), Record(TagBegin, 10, Text("abc"))}), true},
      {"begin tag without its length byte", Join({Filler(4), Text(TagBegin)}), Device(),
       Join({Filler(4), Text(TagBegin)}), true},
      {"rewritten record cut by the end of the block",
       Join({begin, Record(TagHardwareVersion, 200, Text("A1"))}), Device(),
       Join({begin, Record(TagHardwareVersion, "B2")}), true},
      {"end record cut by the end of the block", Join({begin, Record(TagEnd, 50, Text("zz"))}),
       Device(""), Join({begin, Record(TagEnd, 50, Text("zz"))}), true},
      {"value longer than a length byte is cut to 255",
       Join({begin, Record(TagProductName, "P"), end}),
       {0, "", std::string(300, 'N'), ""},
       Join({begin, Record(TagProductName, std::string(255, 'N')), end}),
       true},
  };
  for (const RewriteRow& row : rows) {
    SCOPED_TRACE(row.name);
    RewrittenBlock out;
    out.Bytes.fill(0xAA);  // a previous walk's leftovers must not show through
    out.Length = 7;
    RewriteIdentityBlock(row.input, row.values, out);
    EXPECT_EQ(out.BeginSeen, row.beginSeen);
    EXPECT_FALSE(out.TooLong);
    ASSERT_LE(out.Length, out.Bytes.size());
    EXPECT_EQ(Bytes(out.Bytes.begin(), out.Bytes.begin() + static_cast<long>(out.Length)),
              row.expected);
  }
}

// A 4096-byte block whose rewrite grows by `growth` bytes: every empty product
// record gains the one character of the product name.
Bytes GrowingBlock(size_t growth, bool beginFirst = true) {
  Bytes records;
  for (size_t k = 0; k < growth; ++k) {
    const Bytes r = Record(TagProductName, "");
    records.insert(records.end(), r.begin(), r.end());
  }
  const Bytes begin = Record(TagBegin, "");
  Bytes block = beginFirst ? Join({begin, records}) : records;
  block.resize(4096 - (beginFirst ? 0 : begin.size()), 0x2E);
  if (!beginFirst) block = Join({block, begin});
  return block;
}

TEST(RewriteIdentityBlock, RefusesToGrowBeyondItsStorage) {
  const PatchValues values{0, "", "X", ""};
  struct Row {
    size_t growth;
    bool beginFirst;
    bool tooLong;
  } rows[] = {{1, true, false}, {2, true, true}, {200, true, true}, {200, false, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.growth);
    const Bytes input = GrowingBlock(row.growth, row.beginFirst);
    ASSERT_EQ(input.size(), 4096u);
    RewrittenBlock out;
    RewriteIdentityBlock(input, values, out);
    EXPECT_EQ(out.TooLong, row.tooLong);
    // A begin record behind the overflow still makes the block usable, so
    // that the refusal is told as "too long" and not as "no block".
    EXPECT_TRUE(out.BeginSeen);
    EXPECT_EQ(out.Length, row.tooLong ? RewrittenBlockMax : 4096 + row.growth);
  }
}

// Image files in a private folder, and the patch run on them.
class PatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/fwpatch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void Put(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }
  static Bytes Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
  }

  // An image of `size` bytes in a recognisable pattern, P at 8192 and `block`
  // at P.
  static Bytes Image(size_t size, uint32_t p, const Bytes& block) {
    Bytes image(size);
    for (size_t k = 0; k < size; ++k) image[k] = static_cast<uint8_t>(k * 7 + 3);
    image = Place(image, p, block);
    return Place(image, 8192,
                 {static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                  static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24)});
  }

  // Runs the patch on `image`; the chosen file must come out unchanged.
  PatchOutcome Patch(const Bytes& image, const PatchValues& values) {
    Put(Path("image.bin"), image);
    const bool opened = file_.OpenExisting(Path("image.bin"));
    EXPECT_TRUE(opened);
    const PatchOutcome outcome = PatchIdentityBlock(file_, Path("tmp.bin"), values);
    EXPECT_EQ(Get(Path("image.bin")), image) << "the chosen image was modified";
    return outcome;
  }

  std::string dir_;
  SeqFile file_;
};

TEST_F(PatchTest, WorkedExampleFillsTheBlockAndKeepsTheRest) {
  const uint32_t p = 12000;
  const Bytes block = Join({Record(TagBegin, ""), Record(TagHardwareVersion, "A1"),
                            Record(TagSerialNumber, 4, {7, 7, 7, 7}), Record(TagEnd, "")});
  const Bytes image = Image(p + 4096 + 500, p, block);
  ASSERT_EQ(Patch(image, Device()), PatchOutcome::Patched);

  const Bytes rewritten = Join({Record(TagBegin, ""), Record(TagHardwareVersion, "B2"),
                                Record(TagSerialNumber, 4, Serial513), Record(TagBrandLabel, "XY"),
                                Record(TagEnd, "")});
  ASSERT_EQ(rewritten.size(), 68u);
  Bytes expected = image;
  std::fill(expected.begin() + p, expected.begin() + p + 4096, IdentityFillByte);
  expected = Place(expected, p, rewritten);
  EXPECT_EQ(Get(Path("tmp.bin")), expected);

  // The image file now is the temporary image, read from its start.
  EXPECT_EQ(file_.Path(), Path("tmp.bin"));
  EXPECT_EQ(file_.Position(), 0);
  EXPECT_EQ(file_.Size(), static_cast<int64_t>(image.size()));
  EXPECT_EQ(file_.ReadByte(), image[0]);
  struct stat st {};
  ASSERT_EQ(stat(Path("tmp.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(PatchTest, ImageSizeAndBlockOffset) {
  const Bytes begin = Record(TagBegin, "");
  struct Row {
    const char* name;
    Bytes image;
    PatchOutcome outcome;
  } rows[] = {
      {"8196 bytes are too few", Image(8196, 100, begin), PatchOutcome::NoIdentityBlock},
      {"8197 bytes are enough", Image(8197, 100, begin), PatchOutcome::Patched},
      {"block at the very end: empty", Image(9000, 9000, {}), PatchOutcome::NoIdentityBlock},
      {"no begin record", Image(9000, 8500, Record(TagEnd, "")), PatchOutcome::NoIdentityBlock},
      {"block too long", Image(20000, 10000, GrowingBlock(2)), PatchOutcome::BlockTooLong},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unlink(Path("tmp.bin").c_str());
    EXPECT_EQ(Patch(row.image, {1, "H", "P", ""}), row.outcome);
    EXPECT_EQ(Exists(Path("tmp.bin")), row.outcome == PatchOutcome::Patched);
    if (row.outcome == PatchOutcome::Patched) {
      EXPECT_EQ(Get(Path("tmp.bin")).size(), row.image.size());
    } else {
      EXPECT_EQ(file_.Path(), Path("image.bin"));
    }
    file_.Close();
  }
}

TEST_F(PatchTest, BlockOffsetPastTheEndIsAReadError) {
  const Bytes image = Image(9000, 9001, {});
  Put(Path("image.bin"), image);
  ASSERT_TRUE(file_.OpenExisting(Path("image.bin")));
  try {
    PatchIdentityBlock(file_, Path("tmp.bin"), Device());
    ADD_FAILURE() << "no file error";
  } catch (const InOutError& e) {
    EXPECT_EQ(e.Code(), IoDiskReadError);
  }
  EXPECT_FALSE(Exists(Path("tmp.bin")));
}

TEST_F(PatchTest, OnlyTheFirst4096BytesAreWalked) {
  // The end record and a hardware record lie beyond the 4096 bytes of the
  // block: they travel with the rest of the image untouched.
  const uint32_t p = 10000;
  const Bytes block = Join({Record(TagBegin, ""), Record(TagHardwareVersion, "A1")});
  Bytes image = Image(20000, p, block);
  image = Place(image, p + 4100, Join({Record(TagHardwareVersion, "A1"), Record(TagEnd, "")}));
  ASSERT_EQ(Patch(image, Device()), PatchOutcome::Patched);
  const Bytes rewritten = Join({Record(TagBegin, ""), Record(TagHardwareVersion, "B2")});
  EXPECT_EQ(Get(Path("tmp.bin")), Place(image, p, rewritten));
}

TEST_F(PatchTest, ShorterAndLongerValuesMoveOnlyTheBlock) {
  // The block is the last 40 bytes of the image, so it is walked whole.
  const Bytes block =
      Join({Record(TagBegin, ""), Record(TagHardwareVersion, "A1.0"), Record(TagEnd, "")});
  const uint32_t p = 9000;
  struct Row {
    const char* hardware;
    Bytes expectedBlock;
  } rows[] = {
      {"B", Join({Record(TagBegin, ""), Record(TagHardwareVersion, "B"), Record(TagEnd, ""),
                  Bytes(3, IdentityFillByte)})},
      {"B2.0",
       Join({Record(TagBegin, ""), Record(TagHardwareVersion, "B2.0"), Record(TagEnd, "")})},
      {"B2.0-long",
       Join({Record(TagBegin, ""), Record(TagHardwareVersion, "B2.0-long"), Record(TagEnd, "")})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hardware);
    const Bytes image = Image(p + block.size(), p, block);
    ASSERT_EQ(Patch(image, {1, row.hardware, "P", ""}), PatchOutcome::Patched);
    Bytes expected(image.begin(), image.begin() + p);
    expected.insert(expected.end(), row.expectedBlock.begin(), row.expectedBlock.end());
    EXPECT_EQ(Get(Path("tmp.bin")), expected);
    file_.Close();
  }
}

TEST_F(PatchTest, BlockOneByteLongerShiftsTheRestOfTheImage) {
  const uint32_t p = 10000;
  const Bytes image = Image(20000, p, GrowingBlock(1));
  ASSERT_EQ(Patch(image, {0, "", "X", ""}), PatchOutcome::Patched);
  const Bytes temp = Get(Path("tmp.bin"));
  ASSERT_EQ(temp.size(), image.size() + 1);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + p, temp.begin()));
  EXPECT_TRUE(std::equal(image.begin() + p + 4096, image.end(), temp.begin() + p + 4097));
}

TEST_F(PatchTest, TemporaryImageReplacesAnOlderOne) {
  Put(Path("tmp.bin"), Bytes(50000, 0x55));
  const Bytes image = Image(9000, 8500, Record(TagBegin, ""));
  ASSERT_EQ(Patch(image, Device("")), PatchOutcome::Patched);
  EXPECT_EQ(Get(Path("tmp.bin")).size(), image.size());
}

TEST_F(PatchTest, TemporaryImageThatCannotBeMade) {
  const Bytes image = Image(9000, 8500, Record(TagBegin, ""));
  Put(Path("target"), Text("keep me"));
  ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
  Put(Path("image.bin"), image);
  const std::string rows[] = {Path("link"), Path("missing/tmp.bin"), Path("image.bin"), ""};
  for (const std::string& temporaryPath : rows) {
    SCOPED_TRACE(temporaryPath);
    ASSERT_TRUE(file_.OpenExisting(Path("image.bin")));
    EXPECT_EQ(PatchIdentityBlock(file_, temporaryPath, Device()), PatchOutcome::TempNotCreated);
    EXPECT_EQ(file_.Path(), Path("image.bin"));
  }
  EXPECT_EQ(Get(Path("target")), Text("keep me"));
  EXPECT_EQ(Get(Path("image.bin")), image);
  EXPECT_FALSE(Exists(Path("missing")));
}

}  // namespace
