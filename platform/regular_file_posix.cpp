// POSIX side of the program's files: opens that never block and take regular
// files only, and destinations made afresh beside their final name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "posix_error.h"
#include "seq_file_os.h"

namespace {

// What a file that is not a regular one is, for a person: "a pipe".
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "something other than a file";
}

SysError NotRegular(const std::string& path, mode_t mode, const char* how = " is ") {
  return SysError{ErrorCause::NotRegularFile, S_ISDIR(mode) ? EISDIR : EINVAL,
                  path + how + KindOf(mode) + ", not a regular file"};
}

int OpenFlags(FileAccess access) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for its other end, and a
  // terminal for its carrier. Regular files ignore the flag.
  constexpr int Always = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  switch (access) {
    case FileAccess::Read:
      return O_RDONLY | Always;
    case FileAccess::ReadWrite:
      return O_RDWR | Always;
    case FileAccess::Append:
      return O_WRONLY | O_APPEND | O_CREAT | Always;
  }
  return O_RDONLY | Always;
}

FileId IdOf(const struct stat& st) {
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

OsFile OsOpenRegular(const std::string& path, FileAccess access, FileId* id, SysError& error) {
  error = {};
  int fd;
  do {
    fd = ::open(path.c_str(), OpenFlags(access), 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    // Writing refuses a FIFO without a reader and a socket with ENXIO, a
    // folder with EISDIR: say what stands there instead.
    struct stat st {};
    if ((err == ENXIO || err == EISDIR) && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      error = NotRegular(path, st.st_mode);
    } else {
      error = FileOpenError(err, path);
    }
    return NoOsFile;
  }
  // Looked at after the open, on what was opened: nothing can be swapped in
  // between.
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = ErrnoError(errno, path);
    ::close(fd);
    return NoOsFile;
  }
  if (!S_ISREG(st.st_mode)) {
    error = NotRegular(path, st.st_mode);
    ::close(fd);
    return NoOsFile;
  }
  if (id) *id = IdOf(st);
  return fd;
}

SysError OsLastError(const std::string& what) {
  return ErrnoError(errno, what);
}

std::string OsNameKey(const std::string& path) {
  std::error_code error;
  std::filesystem::path name = std::filesystem::weakly_canonical(path, error);
  if (error) name = std::filesystem::absolute(path, error).lexically_normal();
  return name.string();
}

std::optional<FileId> FileIdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return IdOf(st);
}

OsFile OsCreateNew(const std::string& path, SysError& error, bool* existed) {
  error = {};
  *existed = false;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  // ELOOP: O_NOFOLLOW met a link at the name, which counts as taken too.
  *existed = errno == EEXIST || errno == ELOOP;
  error = FileOpenError(errno, path);
  return NoOsFile;
}

bool OsSync(OsFile file) {
  return ::fsync(static_cast<int>(file)) == 0;
}

SysError OsDestinationRefusal(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    // Nothing there; a folder on the way that is missing or closed is told
    // by the creation of the new file.
    return {};
  }
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISLNK(st.st_mode)) {
    // The link is replaced, never written through; but a link to a FIFO or a
    // device says the operator meant that, and it is refused as it is.
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0 || S_ISREG(target.st_mode)) return {};
    return NotRegular(path, target.st_mode, " is a symbolic link to ");
  }
  return NotRegular(path, st.st_mode);
}

SysError OsReplace(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return ErrnoError(errno, "cannot rename " + from + " to " + to);
  }
  // The new name lasts only once its folder is on the disk too.
  const std::filesystem::path folder = std::filesystem::path(to).parent_path();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    // Some file systems refuse to sync a folder; the rename stands all the
    // same, as the system keeps it.
    (void)::fsync(dir);
    ::close(dir);
  }
  return {};
}
