// The sequential file: open modes, the error numbers of failed operations,
// and the private folder of the temporary image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "host.h"
#include "seq_file.h"

namespace {

class SeqFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/seqfile-XXXXXX";
    dir_ = mkdtemp(tmpl);
    SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string dir_;
};

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const InOutError& e) {
    return e.Code();
  }
  return 0;
}

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

TEST_F(SeqFileTest, MissingFileFailsToOpenAndLaterOperationsReportNotOpen) {
  SeqFile f;
  EXPECT_FALSE(f.OpenExisting(Path("missing")));
  EXPECT_EQ(f.OpenError(), IoFileNotFound);
  EXPECT_EQ(CodeOf([&] { f.Size(); }), IoFileNotOpen);
  EXPECT_EQ(CodeOf([&] { f.ReadByte(); }), IoFileNotOpen);
}

TEST_F(SeqFileTest, ReadOnlyModeOpensWriteProtectedFilesAndRefusesWrites) {
  Put("ro", "xy");
  ASSERT_EQ(chmod(Path("ro").c_str(), 0444), 0);
  SeqFile f;
  ASSERT_TRUE(f.OpenExisting(Path("ro")));
  EXPECT_NE(CodeOf([&] { f.WriteByte('z'); }), 0);
  f.Close();
  std::ifstream in(Path("ro"), std::ios::binary);
  std::string back((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(back, "xy");
}

TEST_F(SeqFileTest, CreateEmptiesAnExistingFileAndWritesThrough) {
  Put("d", "old contents");
  SeqFile f;
  ASSERT_TRUE(f.Create(Path("d")));
  f.WriteByte('n');
  struct stat st {};
  ASSERT_EQ(stat(Path("d").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1);  // unbuffered: the byte is in the file already
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

TEST_F(SeqFileTest, WriteFailureOnAFullDeviceIsReported) {
  SeqFile f;
  ASSERT_TRUE(f.Create("/dev/full"));
  EXPECT_EQ(CodeOf([&] { f.WriteByte(1); }), IoDiskWriteError);
  f.SetWriteBuffered(true);
  f.WriteByte(2);
  EXPECT_EQ(CodeOf([&] { f.Close(); }), IoDiskWriteError);
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(SeqFileTest, PrivateFileIsNeverOpenedThroughALink) {
  Put("target", "keep");
  ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
  SeqFile f;
  EXPECT_FALSE(f.CreatePrivate(Path("link")));
  std::ifstream in(Path("target"));
  std::string back((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(back, "keep");
  ASSERT_TRUE(f.CreatePrivate(Path("own")));
  struct stat st {};
  ASSERT_EQ(stat(Path("own").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SeqFileTest, TemporaryImageFolderIsPrivateAndALinkIsRefused) {
  const std::string runtime = dir_ + "/run";
  ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  auto path = TemporaryImagePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, runtime + "/updater/tmp.bin");
  struct stat st {};
  ASSERT_EQ(lstat((runtime + "/updater").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string trap = dir_ + "/trap";
  ASSERT_EQ(mkdir(trap.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((trap + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((trap + "/elsewhere").c_str(), (trap + "/updater").c_str()), 0);
  setenv("XDG_RUNTIME_DIR", trap.c_str(), 1);
  std::string why;
  EXPECT_FALSE(TemporaryImagePath(&why).has_value());
  EXPECT_FALSE(why.empty());
  unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
