#include "posix_error.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

ErrorCause CauseOfErrno(int err) {
  switch (err) {
    case 0:
      return ErrorCause::None;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:  // a device node without its device (an unplugged adapter)
    case ENODEV:
      return ErrorCause::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorCause::PermissionDenied;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:  // a lock that another holder keeps
      return ErrorCause::Busy;
    case ENOTTY:
      return ErrorCause::NotSerialDevice;
    case EISDIR:
      return ErrorCause::NotRegularFile;
    case EFBIG:
      return ErrorCause::TooLarge;
    case ETIMEDOUT:
      return ErrorCause::TimedOut;
    default:
      return ErrorCause::Other;
  }
}

SysError ErrnoError(int err, const std::string& what) {
  const ErrorCause cause = CauseOfErrno(err);
  return SysError{cause == ErrorCause::None ? ErrorCause::Other : cause, err,
                  what + ": " + std::strerror(err)};
}

namespace {

bool FolderExists(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  struct stat st {};
  return ::stat(slash == 0 ? "/" : path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

SysError FileOpenError(int err, const std::string& path) {
  SysError error = ErrnoError(err, path);
  if (err == ENOENT && !FolderExists(path)) error.Code = ENOTDIR;
  return error;
}
