#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "file_search.h"

namespace {

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// An entry of `folder` whose name equals `name` but for letter case.
std::string OtherCaseIn(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (const dirent* entry = ::readdir(dir)) {
    if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

}  // namespace

FoundFile FindInFolders(const std::vector<std::string>& folders, const std::string& name) {
  for (const std::string& folder : folders) {
    const std::string exact = Join(folder, name);
    if (Exists(exact)) return {exact, false};
    const std::string other = OtherCaseIn(folder, name);
    if (!other.empty()) return {Join(folder, other), true};
  }
  return {};
}

std::string ProgramFolder() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  std::string path(buffer.data(), static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string WorkingFolder() {
  std::array<char, 4096> buffer{};
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return {};
  return buffer.data();
}
