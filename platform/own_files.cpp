#include "own_files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "seq_file_os.h"

namespace {

namespace fs = std::filesystem;

// Paths travel as UTF-8; the system's own names are made from them here.
fs::path PathFromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string FolderOf(const std::string& name) {
  const size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

}  // namespace

OwnFiles& OwnFiles::OfThisRun() {
  static OwnFiles files;
  return files;
}

void OwnFiles::Add(const std::string& path, const std::string& what) {
  if (path.empty()) return;
  const std::string name = OsNameKey(path);
  std::lock_guard lock(mutex_);
  const bool known = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return !e.Destination && !e.Folder && e.Name == name;
  });
  if (!known) entries_.push_back(Entry{path, name, what, false, false});
}

void OwnFiles::AddFolder(const std::string& folder, const std::string& what) {
  if (folder.empty()) return;
  const std::string name = OsNameKey(folder);
  std::lock_guard lock(mutex_);
  const bool known = std::any_of(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.Folder && e.Name == name; });
  if (!known) entries_.push_back(Entry{folder, name, what, true, false});
}

std::string OwnFiles::Words(const Entry& entry, const std::string& file) {
  return entry.What + " " + file + (entry.Destination ? ", written in this run" : "");
}

std::string OwnFiles::CheckLocked(const std::string& path) const {
  if (path.empty()) return {};
  const std::string name = OsNameKey(path);
  const std::optional<FileId> id = FileIdOf(path);
  for (const Entry& entry : entries_) {
    if (!entry.Folder) {
      if (entry.Name == name) return Words(entry, entry.Path);
      if (id && FileIdOf(entry.Path) == id) return Words(entry, entry.Path);
      continue;
    }
    if (FolderOf(name) == entry.Name) return Words(entry, path);
    if (!id) continue;
    // Another name of one of the folder's files (a hard link elsewhere).
    std::error_code error;
    for (fs::directory_iterator it(PathFromUtf8(entry.Path), error), end; !error && it != end;
         it.increment(error)) {
      const std::string file = Utf8FromPath(it->path());
      if (FileIdOf(file) == id) return Words(entry, file);
    }
  }
  return {};
}

std::string OwnFiles::Check(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return CheckLocked(path);
}

bool OwnFiles::Take(const std::string& path, const std::string& what, SysError& error) {
  error = {};
  std::lock_guard lock(mutex_);
  const std::string words = CheckLocked(path);
  if (!words.empty()) {
    error = SysError{ErrorCause::OwnFile, 0, path + " is " + words + "; choose another file"};
    return false;
  }
  entries_.push_back(Entry{path, OsNameKey(path), what, false, true});
  return true;
}

void OwnFiles::Release(const std::string& path) {
  const std::string name = OsNameKey(path);
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.Destination && e.Name == name; });
}

void OwnFiles::ReleaseDestinations() {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [](const Entry& e) { return e.Destination; });
}
