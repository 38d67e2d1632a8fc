// The sequential file: open modes, the error numbers of failed operations,
// reading and writing through its buffer. The same on every system.
#include <vector>

#include "seq_file_fixture.h"

namespace {

TEST_F(SeqFileTest, ReadsEveryByteThenFailsWithReadPastEnd) {
  Put("a", std::string("\x01\x02\xff", 3));
  SeqFile f;
  ASSERT_TRUE(f.OpenExisting(Path("a")));
  EXPECT_EQ(f.Size(), 3);
  EXPECT_EQ(f.ReadByte(), 1);
  EXPECT_EQ(f.ReadByte(), 2);
  EXPECT_EQ(f.ReadByte(), 0xFF);
  EXPECT_EQ(CodeOf([&] { f.ReadByte(); }), IoDiskReadError);
  f.Seek(1);
  EXPECT_EQ(f.ReadByte(), 2);
  f.Close();
  EXPECT_EQ(CodeOf([&] { f.Close(); }), IoFileNotOpen);
  EXPECT_EQ(CodeOf([&] { f.Size(); }), IoFileNotOpen);
}

// Each failed open gives its run-time number and a cause naming the file.
TEST_F(SeqFileTest, FailedOpensGiveTheirNumberAndLaterOperationsReportNotOpen) {
  Put("plain", "x");
  std::filesystem::create_directory(dir_ / "folder");
  struct Row {
    std::string name;
    int code;
    ErrorCause cause;
  };
  const std::vector<Row> rows = {
      {"missing", IoFileNotFound, ErrorCause::NotFound},
      {"nofolder/missing", IoPathNotFound, ErrorCause::NotFound},
      {"plain/below", IoPathNotFound, ErrorCause::NotFound},
      {"folder", IoAccessDenied, ErrorCause::NotRegularFile},
  };
  for (const Row& row : rows) {
    SeqFile f;
    EXPECT_FALSE(f.OpenExisting(Path(row.name))) << row.name;
    EXPECT_EQ(f.OpenError(), row.code) << row.name;
    EXPECT_EQ(f.OpenCause().Cause, row.cause) << row.name;
    EXPECT_NE(f.OpenCause().Text.find(Path(row.name)), std::string::npos) << f.OpenCause().Text;
    EXPECT_EQ(CodeOf([&] { f.Size(); }), IoFileNotOpen);
    EXPECT_EQ(CodeOf([&] { f.ReadByte(); }), IoFileNotOpen);
  }
  SeqFile ok;
  ASSERT_TRUE(ok.OpenExisting(Path("plain")));
  EXPECT_EQ(ok.OpenError(), 0);
  EXPECT_FALSE(ok.OpenCause());
}

TEST_F(SeqFileTest, ReadOnlyModeOpensWriteProtectedFilesAndRefusesWrites) {
  Put("ro", "xy");
  std::filesystem::permissions(dir_ / "ro", std::filesystem::perms::owner_read);
  SeqFile f;
  ASSERT_TRUE(f.OpenExisting(Path("ro")));
  EXPECT_EQ(CodeOf([&] { f.WriteByte('z'); }), IoAccessDenied);
  f.Close();
  EXPECT_EQ(Contents("ro"), "xy");
}

TEST_F(SeqFileTest, CreateEmptiesAnExistingFileAndWritesThrough) {
  Put("d", "old contents");
  SeqFile f;
  ASSERT_TRUE(f.Create(Path("d")));
  f.WriteByte('n');
  EXPECT_EQ(std::filesystem::file_size(dir_ / "d"), 1u);  // unbuffered: in the file already
  f.Close();
}

TEST_F(SeqFileTest, BufferedWritesLandInOrderAcrossTheBufferSize) {
  SeqFile f;
  ASSERT_TRUE(f.Create(Path("big")));
  f.SetWriteBuffered(true);
  const int n = 200000;
  for (int i = 0; i < n; ++i) f.WriteByte(static_cast<uint8_t>(i * 7));
  EXPECT_EQ(f.Size(), n);
  f.Close();
  SeqFile r;
  ASSERT_TRUE(r.OpenExisting(Path("big")));
  ASSERT_EQ(r.Size(), n);
  for (int i = 0; i < n; ++i) ASSERT_EQ(r.ReadByte(), static_cast<uint8_t>(i * 7)) << i;
}

}  // namespace
