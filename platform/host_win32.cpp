// Windows side of the host services: the temporary image lives in the
// user's own %LOCALAPPDATA%\updater, never in a folder every user can write.
#include <shlobj.h>
#include <windows.h>

#include <cstdlib>

#include "host.h"
#include "win32_text.h"

namespace {

std::wstring LocalAppData() {
  if (const wchar_t* set = _wgetenv(L"LOCALAPPDATA"); set != nullptr && set[0] != L'\0') return set;
  wchar_t* known = nullptr;
  std::wstring folder;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK) folder = known;
  CoTaskMemFree(known);
  return folder;
}

}  // namespace

std::optional<std::string> TemporaryImagePath(std::string* why) {
  const std::wstring base = LocalAppData();
  if (base.empty()) {
    if (why) *why = "the folder LOCALAPPDATA is not known";
    return std::nullopt;
  }
  const std::wstring dir = base + L"\\updater";
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    if (why) *why = Win32Error(GetLastError(), Utf8FromWide(dir)).Text;
    return std::nullopt;
  }
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (why) *why = Utf8FromWide(dir) + ": not a folder of its own";
    return std::nullopt;
  }
  return Utf8FromWide(dir + L"\\tmp.bin");
}
