// POSIX side of the host services: the private folder of the temporary image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host.h"

std::optional<std::string> TemporaryImagePath(std::string* why) {
  std::string dir;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    dir = std::string(runtime) + "/updater";
  } else {
    dir = "/tmp/updater-" + std::to_string(::geteuid());
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    if (why) *why = dir + ": " + std::strerror(errno);
    return std::nullopt;
  }
  // lstat: a link at this name (someone else's trap in /tmp) is refused.
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (why) *why = dir + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (why) *why = dir + ": not a folder";
    return std::nullopt;
  }
  if (st.st_uid != ::geteuid()) {
    if (why) *why = dir + ": belongs to another user";
    return std::nullopt;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    if (why) *why = dir + ": cannot be made private";
    return std::nullopt;
  }
  return dir + "/tmp.bin";
}
