// POSIX side of the host services: the process's private temporary folder.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "host.h"
#include "posix_error.h"

namespace {

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr && user->pw_name != nullptr ? std::string(user->pw_name)
                                                     : "user " + std::to_string(uid);
}

// The folder this process made, and which process that was: a child made by
// fork() shares the memory but not the folder's lifetime.
struct MadeFolder {
  std::mutex Mutex;
  std::string Path;
  pid_t Maker = 0;
  bool RemovalRegistered = false;
};

MadeFolder& Made() {
  static MadeFolder made;
  return made;
}

void Fail(std::string* why, std::string text) {
  if (why) *why = std::move(text);
}

}  // namespace

std::optional<std::string> MakePrivateFolder(const std::string& parent, std::string* why) {
  struct stat st {};
  if (::stat(parent.c_str(), &st) != 0) {
    Fail(why, ErrnoError(errno, parent).Text);
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) {
    Fail(why, parent + " is not a folder");
    return std::nullopt;
  }
  // Whoever may rename entries of the parent could put another folder in
  // place of ours: its owner, and, unless the sticky bit keeps them to their
  // own entries, everyone who may write to it.
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    Fail(why, parent + " belongs to " + UserName(st.st_uid) +
                  ", who could replace the program's temporary files in it; set TMPDIR to a "
                  "folder of your own");
    return std::nullopt;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    Fail(why, parent +
                  " may be changed by other users and does not keep their files apart "
                  "(no sticky bit); set TMPDIR to a folder of your own");
    return std::nullopt;
  }
  std::string name = parent + (parent.ends_with('/') ? "" : "/") + "updater-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) {
    Fail(why, ErrnoError(errno, "cannot make a private folder in " + parent).Text);
    return std::nullopt;
  }
  struct stat made {};
  if (::lstat(name.c_str(), &made) != 0 || !S_ISDIR(made.st_mode) || made.st_uid != ::geteuid() ||
      (made.st_mode & 077) != 0) {
    Fail(why, name + " is not a private folder of this user");
    return std::nullopt;
  }
  return name;
}

std::optional<std::string> PrivateTemporaryFolder(std::string* why) {
  MadeFolder& made = Made();
  std::lock_guard lock(made.Mutex);
  if (!made.Path.empty() && made.Maker == ::getpid()) return made.Path;
  std::vector<std::string> parents;
  for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* set = std::getenv(variable);
    if (set != nullptr && set[0] == '/') parents.emplace_back(set);
  }
  parents.emplace_back("/tmp");
  std::string first;
  for (const std::string& parent : parents) {
    std::string reason;
    const std::optional<std::string> folder = MakePrivateFolder(parent, &reason);
    if (!folder) {
      if (first.empty()) first = reason;
      continue;
    }
    made.Path = *folder;
    made.Maker = ::getpid();
    if (!made.RemovalRegistered) {
      made.RemovalRegistered = std::atexit(RemovePrivateTemporaryFolder) == 0;
    }
    return made.Path;
  }
  Fail(why, first);
  return std::nullopt;
}

std::optional<std::string> TemporaryImagePath(std::string* why) {
  const std::optional<std::string> folder = PrivateTemporaryFolder(why);
  if (!folder) return std::nullopt;
  return *folder + "/tmp.bin";
}

void RemovePrivateTemporaryFolder() {
  MadeFolder& made = Made();
  std::lock_guard lock(made.Mutex);
  if (made.Path.empty() || made.Maker != ::getpid()) return;
  std::error_code error;
  // The folder is this user's alone (0700): everything in it is ours.
  std::filesystem::remove_all(made.Path, error);
  made.Path.clear();
}
