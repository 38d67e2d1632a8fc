// POSIX side of the sequential file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "posix_error.h"
#include "seq_file.h"
#include "seq_file_os.h"

namespace {

OsFile Failed(const std::string& path, SysError& error) {
  error = FileOpenError(errno, path);
  return NoOsFile;
}

}  // namespace

OsFile OsCreate(const std::string& path, SysError& error) {
  error = {};
  // Never waiting: a FIFO at the name would otherwise hold the open until a
  // reader comes.
  const int fd =
      open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  return fd < 0 ? Failed(path, error) : fd;
}

OsFile OsCreatePrivate(const std::string& path, SysError& error) {
  error = {};
  // Made afresh: an old file of this user's own is removed first; anything
  // else at this name (a symbolic or a hard link planted by someone else, a
  // file of another user) is refused, and O_EXCL refuses whatever appears in
  // between, so no other file is ever written through this name.
  struct stat old {};
  if (lstat(path.c_str(), &old) == 0) {
    if (!S_ISREG(old.st_mode) || old.st_uid != geteuid() || old.st_nlink != 1) {
      error = SysError{ErrorCause::PermissionDenied, EEXIST,
                       path + " is a link or not this user's own file"};
      return NoOsFile;
    }
    if (unlink(path.c_str()) != 0) return Failed(path, error);
  }
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Failed(path, error);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      ftruncate(fd, 0) != 0) {
    close(fd);
    error = SysError{ErrorCause::PermissionDenied, EACCES,
                     path + " is not a private file of this user"};
    return NoOsFile;
  }
  return fd;
}

int64_t OsReadAt(OsFile file, void* buffer, size_t count, int64_t offset) {
  ssize_t n;
  do {
    n = pread(static_cast<int>(file), buffer, count, offset);
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t OsWriteAt(OsFile file, const void* buffer, size_t count, int64_t offset) {
  ssize_t n;
  do {
    n = pwrite(static_cast<int>(file), buffer, count, offset);
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t OsSize(OsFile file) {
  struct stat st {};
  return fstat(static_cast<int>(file), &st) == 0 ? st.st_size : -1;
}

bool OsClose(OsFile file) {
  // After EINTR the descriptor is gone on Linux; nothing to retry.
  return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

bool OsErase(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

int RunTimeErrorOf(const SysError& error) {
  switch (error.Code) {
    case ENOENT:
      return IoFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return IoPathNotFound;
    case EMFILE:
    case ENFILE:
      return IoTooManyOpenFiles;
    case EBUSY:
    case ETXTBSY:
      return IoSharingViolation;
    default:
      // Denied, a folder, not a regular file, a link refused: the file
      // cannot be had.
      return IoAccessDenied;
  }
}
