// Windows side of the record store's system needs.
#include <windows.h>
// After windows.h, which it needs.
#include <lmcons.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>

#include "platform/win32_text.h"
#include "store_os.h"

std::string StoreStateFolder() {
  if (const wchar_t* set = _wgetenv(L"LOCALAPPDATA"); set != nullptr && set[0] != L'\0') {
    return Utf8FromWide(set);
  }
  wchar_t* known = nullptr;
  std::string folder;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK) {
    folder = Utf8FromWide(known);
  }
  CoTaskMemFree(known);
  return folder;
}

bool MakePrivateStoreFolder(const std::string& folder, std::string* why) {
  // %LOCALAPPDATA% is this user's own; its access list is inherited.
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(WideFromUtf8(folder)), error);
  if (error) {
    if (why) *why = folder + ": " + error.message();
    return false;
  }
  return true;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  return Utf8FromWide(name);
}

std::string LoginName() {
  wchar_t name[UNLEN + 1] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetUserNameW(name, &size)) return {};
  return Utf8FromWide(name);
}
