#include <windows.h>

#include <string>

#include "file_search.h"
#include "win32_text.h"

// Windows' file names ignore letter case already: the exact name finds the
// file. The name on disk is taken from the folder, so that the program names
// the file as it is (and says so when the case differs), as on POSIX.
FoundFile FindInFolders(const std::vector<std::string>& folders, const std::string& name) {
  for (const std::string& folder : folders) {
    std::string prefix;
    if (!folder.empty()) {
      const char last = folder.back();
      prefix = (last == '/' || last == '\\') ? folder : folder + "\\";
    }
    if (name.find_first_of("/\\*?") != std::string::npos) {
      // Not a plain name: no name on disk to learn, the path as given.
      if (GetFileAttributesW(WideFromUtf8(prefix + name).c_str()) != INVALID_FILE_ATTRIBUTES)
        return {prefix + name, false};
      continue;
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(WideFromUtf8(prefix + name).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    FindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::string onDisk = Utf8FromWide(found.cFileName);
    return {prefix + onDisk, onDisk != name};
  }
  return {};
}

std::string ProgramFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  const size_t slash = buffer.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::string() : Utf8FromWide(buffer.substr(0, slash));
}

std::string WorkingFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return Utf8FromWide(buffer);
}
