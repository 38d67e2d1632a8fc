// POSIX side of the record store's system needs.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "store_os.h"

std::string StoreStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/.local/state";
}

bool MakePrivateStoreFolder(const std::string& folder, std::string* why) {
  auto fail = [&](const std::string& cause) {
    if (why) *why = folder + ": " + cause;
    return false;
  };
  std::error_code error;
  const std::filesystem::path parent = std::filesystem::path(folder).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, error);
  if (error) return fail("cannot make its parent folder: " + error.message());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return fail(std::strerror(errno));
  // lstat: a link at this name would let someone else's folder hold the store.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return fail("not a folder");
  if (st.st_uid != ::geteuid()) {
    return fail("belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  }
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    return fail(std::string("cannot be made private: ") + std::strerror(errno));
  }
  return true;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string LoginName() {
  // The password entry rather than getlogin(): a job run from a service or a
  // script has no controlling terminal to ask.
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->pw_name;
  }
  const char* user = std::getenv("USER");
  return user != nullptr ? user : "";
}
