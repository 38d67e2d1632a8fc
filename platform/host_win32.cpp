// Windows side of the host services: the temporary image lives in the
// user's own %LOCALAPPDATA%\updater, never in a folder every user can write.
#include <shlobj.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <random>

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

// A folder of its own at `dir`: made, or (when `mayExist`) there already as
// a real folder, no link to somewhere else. 0, or the system's error
// (ERROR_ALREADY_EXISTS for a name that is taken).
DWORD OwnFolder(const std::wstring& dir, bool mayExist, std::string* why) {
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    const DWORD code = GetLastError();
    if (!mayExist || code != ERROR_ALREADY_EXISTS) {
      if (why) *why = Win32Error(code, Utf8FromWide(dir)).Text;
      return code;
    }
  }
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (why) *why = Utf8FromWide(dir) + ": not a folder of its own";
    return ERROR_DIRECTORY;
  }
  return 0;
}

}  // namespace

std::optional<std::string> PrivateTemporaryFolder(std::string* why) {
  const std::wstring base = LocalAppData();
  if (base.empty()) {
    if (why) *why = "the folder LOCALAPPDATA is not known";
    return std::nullopt;
  }
  const std::wstring dir = base + L"\\updater";
  if (OwnFolder(dir, true, why) != 0) return std::nullopt;
  return Utf8FromWide(dir);
}

std::optional<std::string> TemporaryImagePath(std::string* why) {
  const std::optional<std::string> folder = PrivateTemporaryFolder(why);
  if (!folder) return std::nullopt;
  return *folder + "\\tmp.bin";
}

void RemovePrivateTemporaryFolder() {
  // The folder is the user's own and outlives the program, as it always has.
}

std::optional<std::string> MakePrivateFolder(const std::string& parent, std::string* why) {
  // Under the user's own profile a new folder inherits the profile's access:
  // this user's alone. A name that exists already is never taken over.
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
    const std::wstring dir = WideFromUtf8(parent) + L"\\updater-" + WideFromUtf8(tag);
    const DWORD code = OwnFolder(dir, false, why);
    if (code == 0) return Utf8FromWide(dir);
    if (code != ERROR_ALREADY_EXISTS) return std::nullopt;
  }
  return std::nullopt;
}
