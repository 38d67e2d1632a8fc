// The sequential file and the temporary image's folder on POSIX systems:
// FIFOs, full devices, links and folder modes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/host.h"
#include "seq_file_fixture.h"

namespace {

// Opening a FIFO that nobody writes to would wait for a writer, holding the
// window thread: it is refused at once.
TEST_F(SeqFileTest, AFifoIsRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  SeqFile f;
  EXPECT_FALSE(f.OpenExisting(Path("fifo")));
  EXPECT_EQ(f.OpenError(), IoAccessDenied);
  EXPECT_NE(f.OpenCause().Text.find("not a regular file"), std::string::npos);
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
  ASSERT_EQ(link(Path("target").c_str(), Path("hard").c_str()), 0);
  // Nothing is written through a planted link of either kind.
  for (const char* planted : {"link", "hard"}) {
    SeqFile f;
    EXPECT_FALSE(f.CreatePrivate(Path(planted))) << planted;
  }
  EXPECT_EQ(Contents("target"), "keep");
  SeqFile f;
  ASSERT_TRUE(f.CreatePrivate(Path("own")));
  struct stat st {};
  ASSERT_EQ(stat(Path("own").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SeqFileTest, TemporaryImageFolderIsPrivateAndALinkIsRefused) {
  const std::string runtime = Path("run");
  ASSERT_EQ(mkdir(runtime.c_str(), 0755), 0);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  auto path = TemporaryImagePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, runtime + "/updater/tmp.bin");
  struct stat st {};
  ASSERT_EQ(lstat((runtime + "/updater").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string trap = Path("trap");
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
