// Linux side of the holder search: /proc/locks and /proc/<pid>/fd.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "file_holders.h"

namespace {

// At most this many holders are named; more would not help the operator.
constexpr size_t MostHoldersNamed = 3;

std::string Process(const std::string& pid) {
  std::string command;
  std::getline(std::ifstream("/proc/" + pid + "/comm"), command);
  return "process " + pid + " (" + (command.empty() ? "unknown" : command) + ")";
}

// The process holding a lock on the file (device `dev`, inode `ino`); empty
// when none does. A line of /proc/locks reads
// "1: FLOCK  ADVISORY  WRITE 2235 00:19:4 0 EOF" (waiting requests carry
// "->" after the number and hold nothing).
std::string LockHolder(dev_t dev, ino_t ino) {
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(dev), minor(dev),
                static_cast<unsigned long long>(ino));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> mode >> access >> pid >> file;
    if (file == wanted && pid.find_first_not_of("0123456789") == std::string::npos &&
        !pid.empty() && pid != "0") {
      return Process(pid);
    }
  }
  return {};
}

std::vector<std::string> ProcessesWithOpen(dev_t dev, ino_t ino) {
  std::vector<std::string> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (found.size() < MostHoldersNamed) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && st.st_dev == dev &&
          st.st_ino == ino) {
        found.push_back(Process(pid));
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
}

}  // namespace

std::string HoldersOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  // The lock is what makes the port busy for this program: its holder is
  // the one to close, even where others (a simulator keeping its own end
  // alive) have the same file open.
  if (std::string holder = LockHolder(st.st_dev, st.st_ino); !holder.empty()) return holder;
  std::string text;
  for (const std::string& holder : ProcessesWithOpen(st.st_dev, st.st_ino)) {
    text += (text.empty() ? "" : ", ") + holder;
  }
  return text;
}
