#include <windows.h>

#include <string>

#include "file_search.h"
#include "win32_text.h"

// Windows' file names ignore letter case already: the exact name finds them.
FoundFile FindInFolders(const std::vector<std::string>& folders, const std::string& name) {
  for (const std::string& folder : folders) {
    std::string path = name;
    if (!folder.empty()) {
      const char last = folder.back();
      path = (last == '/' || last == '\\') ? folder + name : folder + "\\" + name;
    }
    if (GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
      return {path, false};
    }
  }
  return {};
}

std::string ProgramFolder() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  const size_t slash = buffer.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::string() : Utf8FromWide(buffer.substr(0, slash));
}
