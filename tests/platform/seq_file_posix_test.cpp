// The sequential file on POSIX systems: FIFOs, full devices and links.
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
