// The program's files on every system: the safe open, destinations written
// whole beside their name, and the registry of the program's own files.
#include <algorithm>
#include <vector>

#include "platform/destination.h"
#include "platform/own_files.h"
#include "platform/regular_file.h"
#include "seq_file_fixture.h"

namespace {

class FileSafetyTest : public SeqFileTest {
 protected:
  // Everything left in the test's folder, by name.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(FileSafetyTest, TheSafeOpenReadsRegularFilesOnlyAndWithinTheirBound) {
  Put("image.bin", "abc");
  std::filesystem::create_directory(dir_ / "folder");
  struct Row {
    std::string name;
    int64_t maxBytes;
    ErrorCause cause;
    std::string inText;
  };
  const std::vector<Row> rows = {
      {"image.bin", 3, ErrorCause::None, ""},
      {"image.bin", 2, ErrorCause::TooLarge, "holds 3 bytes, more than the 2"},
      {"folder", 100, ErrorCause::NotRegularFile, "is a folder"},
      {"missing", 100, ErrorCause::NotFound, "missing"},
  };
  for (const Row& row : rows) {
    const FileRead read = ReadRegularFile(Path(row.name), row.maxBytes);
    EXPECT_EQ(read.Error.Cause, row.cause) << row.name << ": " << read.Error.Text;
    if (row.cause == ErrorCause::None) {
      EXPECT_EQ(std::string(read.Bytes.begin(), read.Bytes.end()), "abc");
      EXPECT_EQ(FileIdOf(Path(row.name)), read.Id);
      continue;
    }
    EXPECT_TRUE(read.Bytes.empty());
    EXPECT_NE(read.Error.Text.find(Path(row.name)), std::string::npos) << read.Error.Text;
    EXPECT_NE(read.Error.Text.find(row.inText), std::string::npos) << read.Error.Text;
  }
}

// A destination is replaced in one step when complete, stays as it was when
// the writing is given up, and keeps a cut-short file under its own name
// when asked to.
TEST_F(FileSafetyTest, ADestinationIsReplacedWholeOrNotAtAll) {
  OwnFiles own;
  Put("report.json", "old");
  SysError error;
  {
    DestinationFile file;
    ASSERT_TRUE(file.Begin(Path("report.json"), "the report", error, own)) << error.Text;
    ASSERT_TRUE(file.Write("new", 3, error)) << error.Text;
    EXPECT_EQ(Contents("report.json"), "old");
    ASSERT_TRUE(file.Commit(error)) << error.Text;
  }
  EXPECT_EQ(Contents("report.json"), "new");
  own.ReleaseDestinations();
  {
    DestinationFile file;
    ASSERT_TRUE(file.Begin(Path("report.json"), "the report", error, own)) << error.Text;
    ASSERT_TRUE(file.Write("half", 4, error));
  }
  EXPECT_EQ(Contents("report.json"), "new");
  EXPECT_EQ(Names(), std::vector<std::string>{"report.json"});

  DestinationFile cut;
  ASSERT_TRUE(cut.Begin(Path("dump.bin"), "the read-back", error, own)) << error.Text;
  ASSERT_TRUE(cut.Write("wo", 2, error));
  const std::string kept = cut.Keep();
  EXPECT_EQ(std::filesystem::path(kept).parent_path(), dir_);
  EXPECT_EQ(Contents(std::filesystem::path(kept).filename().string()), "wo");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "dump.bin"));

  std::filesystem::create_directory(dir_ / "folder");
  EXPECT_FALSE(WriteDestination(Path("folder"), "the report", "x", error, own));
  EXPECT_EQ(error.Cause, ErrorCause::NotRegularFile) << error.Text;
}

// Own files and the destinations of a run are caught under their own name,
// another spelling of it, and a second use in the same run.
TEST_F(FileSafetyTest, TheProgramsOwnFilesAndTakenDestinationsAreRefused) {
  Put("fits.bin", "image");
  std::filesystem::create_directory(dir_ / "identities");
  OwnFiles own;
  own.Add(Path("fits.bin"), "the firmware image");
  own.Add(Path("history.jsonl"), "the update history");  // not written yet
  own.AddFolder(Path("identities"), "the saved identity");
  const std::string dot = (dir_ / "." / "fits.bin").string();
  EXPECT_EQ(own.Check(dot), "the firmware image " + Path("fits.bin"));
  EXPECT_EQ(own.Check(Path("history.jsonl")), "the update history " + Path("history.jsonl"));
  EXPECT_NE(own.Check(Path("identities/last.json")).find("the saved identity"), std::string::npos);
  EXPECT_EQ(own.Check(Path("other.json")), "");

  SysError error;
  EXPECT_FALSE(WriteDestination(dot, "the report", "{}", error, own));
  EXPECT_EQ(error.Cause, ErrorCause::OwnFile);
  EXPECT_NE(error.Text.find("the firmware image"), std::string::npos) << error.Text;
  EXPECT_EQ(Contents("fits.bin"), "image");

  ASSERT_TRUE(WriteDestination(Path("x.bin"), "the read-back", "flash", error, own)) << error.Text;
  EXPECT_FALSE(WriteDestination(Path("x.bin"), "the report", "{}", error, own));
  EXPECT_NE(error.Text.find("the read-back"), std::string::npos) << error.Text;
  EXPECT_EQ(Contents("x.bin"), "flash");
  own.Release(Path("x.bin"));
  EXPECT_TRUE(WriteDestination(Path("x.bin"), "the report", "{}", error, own)) << error.Text;
}

}  // namespace
