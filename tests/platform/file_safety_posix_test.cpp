// The program's files on POSIX systems: FIFOs, devices, sockets and links at
// the names the program reads and writes, the one errno table, the private
// temporary folder and who holds a busy port.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/destination.h"
#include "platform/file_holders.h"
#include "platform/host.h"
#include "platform/own_files.h"
#include "platform/posix_error.h"
#include "platform/regular_file.h"
#include "seq_file_fixture.h"

namespace {

// Each is refused at once, naming what it is; none is ever waited for (a
// FIFO without a writer would block a plain open for good).
TEST_F(SeqFileTest, TheSafeOpenRefusesWhatIsNoRegularFileAtOnce) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(Path("fifo").c_str(), Path("link-to-fifo").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = Path("socket");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct Row {
    std::string path;
    const char* kind;
  };
  const std::vector<Row> rows = {
      {Path("fifo"), "a pipe"},
      {Path("link-to-fifo"), "a pipe"},
      {"/dev/null", "a device"},
      {socketPath, "a socket"},
  };
  for (const Row& row : rows) {
    for (const FileAccess access : {FileAccess::Read, FileAccess::Append}) {
      RegularFile file;
      SysError error;
      EXPECT_FALSE(file.Open(row.path, access, error)) << row.path;
      EXPECT_EQ(error.Cause, ErrorCause::NotRegularFile) << error.Text;
      EXPECT_EQ(error.Text, row.path + " is " + row.kind + ", not a regular file");
    }
  }
  close(sock);

  // Standard input fed from a pipe is a pipe, not "(-1 bytes)".
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const int savedInput = dup(0);
  ASSERT_EQ(dup2(pipeEnds[0], 0), 0);
  const FileRead read = ReadRegularFile("/dev/stdin", 100);
  dup2(savedInput, 0);
  close(savedInput);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  EXPECT_EQ(read.Error.Text, "/dev/stdin is a pipe, not a regular file");
}

// Nothing planted at the destination or at the name a writer once used
// beside it is written through; a FIFO or a link to one is refused.
TEST_F(SeqFileTest, DestinationsAreNeverWrittenThroughALink) {
  OwnFiles own;
  Put("victim", "keep");
  ASSERT_EQ(symlink(Path("victim").c_str(), Path("x.bin").c_str()), 0);
  ASSERT_EQ(symlink(Path("victim").c_str(), Path("x.bin.part").c_str()), 0);
  SysError error;
  ASSERT_TRUE(WriteDestination(Path("x.bin"), "the read-back", "flash", error, own)) << error.Text;
  EXPECT_EQ(Contents("victim"), "keep");
  struct stat st {};
  ASSERT_EQ(lstat(Path("x.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Contents("x.bin"), "flash");
  EXPECT_EQ(
      st.st_mode & 0777, 0666u & ~[] {
        const mode_t mask = umask(0);
        umask(mask);
        return mask;
      }());

  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(Path("fifo").c_str(), Path("link-to-fifo").c_str()), 0);
  for (const char* name : {"fifo", "link-to-fifo"}) {
    EXPECT_FALSE(WriteDestination(Path(name), "the report", "{}", error, own)) << name;
    EXPECT_EQ(error.Cause, ErrorCause::NotRegularFile) << error.Text;
  }
  EXPECT_NE(error.Text.find("is a symbolic link to a pipe"), std::string::npos) << error.Text;
}

TEST_F(SeqFileTest, AnOwnFileIsKnownUnderEveryNameItHas) {
  Put("fits.bin", "image");
  ASSERT_EQ(link(Path("fits.bin").c_str(), Path("hard").c_str()), 0);
  ASSERT_EQ(symlink(Path("fits.bin").c_str(), Path("soft").c_str()), 0);
  ASSERT_EQ(mkdir(Path("identities").c_str(), 0700), 0);
  Put("identities/last.json", "{}");
  ASSERT_EQ(link(Path("identities/last.json").c_str(), Path("copy.json").c_str()), 0);
  OwnFiles own;
  own.Add(Path("fits.bin"), "the firmware image");
  own.AddFolder(Path("identities"), "the saved identity");
  for (const char* name : {"hard", "soft"}) {
    EXPECT_EQ(own.Check(Path(name)), "the firmware image " + Path("fits.bin")) << name;
  }
  EXPECT_EQ(own.Check(Path("copy.json")), "the saved identity " + Path("identities/last.json"));
}

// The one table from errno to the cause, for files and ports alike.
TEST(ErrnoTable, GivesEachErrorItsCause) {
  const struct {
    int err;
    ErrorCause cause;
  } rows[] = {
      {ENOENT, ErrorCause::NotFound},        {ENODEV, ErrorCause::NotFound},
      {ENXIO, ErrorCause::NotFound},         {EACCES, ErrorCause::PermissionDenied},
      {EROFS, ErrorCause::PermissionDenied}, {EBUSY, ErrorCause::Busy},
      {EWOULDBLOCK, ErrorCause::Busy},       {ENOTTY, ErrorCause::NotSerialDevice},
      {EISDIR, ErrorCause::NotRegularFile},  {EFBIG, ErrorCause::TooLarge},
      {ETIMEDOUT, ErrorCause::TimedOut},     {ENOSPC, ErrorCause::Other},
  };
  for (const auto& row : rows) {
    const SysError error = ErrnoError(row.err, "/dev/x");
    EXPECT_EQ(error.Cause, row.cause) << error.Text;
    EXPECT_EQ(error.Text, std::string("/dev/x: ") + std::strerror(row.err));
  }
}

// Another user's folder at the name the program once used, open to all,
// changes nothing: the folder is made afresh under a random name. A parent
// that lets others swap folders is refused.
TEST_F(SeqFileTest, ThePrivateFolderIsMadeAfreshWhateverStandsAtAKnownName) {
  const std::string predictable = Path("updater-" + std::to_string(geteuid()));
  ASSERT_EQ(mkdir(predictable.c_str(), 0777), 0);
  ASSERT_EQ(chmod(predictable.c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
  std::string why;
  const std::optional<std::string> made = MakePrivateFolder(dir_.string(), &why);
  ASSERT_TRUE(made) << why;
  EXPECT_NE(*made, predictable);
  struct stat st {};
  ASSERT_EQ(lstat(made->c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());

  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  EXPECT_FALSE(MakePrivateFolder(dir_.string(), &why));
  EXPECT_NE(why.find(dir_.string()), std::string::npos) << why;

  // The process's own folder, in the user's runtime folder: the same on
  // every call, gone once removed.
  ASSERT_EQ(mkdir(Path("run").c_str(), 0700), 0);
  ASSERT_EQ(setenv("XDG_RUNTIME_DIR", Path("run").c_str(), 1), 0);
  RemovePrivateTemporaryFolder();
  const std::optional<std::string> own = PrivateTemporaryFolder(&why);
  unsetenv("XDG_RUNTIME_DIR");
  ASSERT_TRUE(own) << why;
  EXPECT_EQ(std::filesystem::path(*own).parent_path(), Path("run"));
  EXPECT_EQ(PrivateTemporaryFolder(), own);
  EXPECT_EQ(TemporaryImagePath(), *own + "/tmp.bin");
  RemovePrivateTemporaryFolder();
  EXPECT_FALSE(std::filesystem::exists(*own));
}

// A busy pseudo-terminal is blamed on the process holding its lock, not on
// another that only keeps the same slave open (a simulator keeping its end
// alive).
TEST_F(SeqFileTest, TheHolderOfABusyPortIsTheOneHoldingItsLock) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = open(name, O_RDWR | O_NOCTTY);
    const char done = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    (void)!write(ready[1], &done, 1);
    pause();
    _exit(0);
  }
  char done = 0;
  ASSERT_EQ(read(ready[0], &done, 1), 1);
  EXPECT_EQ(done, 'y');
  EXPECT_NE(HoldersOf(name).find("process " + std::to_string(child) + " ("), std::string::npos)
      << HoldersOf(name);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  // With no lock, the holders of the same slave are named: this process,
  // never by its master side alone.
  EXPECT_EQ(HoldersOf(name).find("process " + std::to_string(child)), std::string::npos);
  EXPECT_NE(HoldersOf(name).find("process " + std::to_string(getpid()) + " ("), std::string::npos);
  close(slave);
  EXPECT_EQ(HoldersOf(name), "");
  close(master);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
