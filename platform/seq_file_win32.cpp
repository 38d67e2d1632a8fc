// Windows side of the sequential file: CreateFileW with UTF-8 names made
// wide, positioned ReadFile and WriteFile.
#include <windows.h>

#include "seq_file.h"
#include "seq_file_os.h"
#include "win32_text.h"

namespace {

HANDLE AsHandle(OsFile file) {
  return reinterpret_cast<HANDLE>(file);
}

OsFile Failed(const std::string& path, SysError& error) {
  error = Win32Error(GetLastError(), path);
  return NoOsFile;
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}

}  // namespace

OsFile OsCreate(const std::string& path, SysError& error) {
  error = {};
  const HANDLE file =
      CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? Failed(path, error) : reinterpret_cast<OsFile>(file);
}

OsFile OsCreatePrivate(const std::string& path, SysError& error) {
  error = {};
  // The folder is the user's own (%LOCALAPPDATA%); a link at the name is
  // opened as itself, never followed, and refused.
  const HANDLE file =
      CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(path, error);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    CloseHandle(file);
    error = SysError{ErrorCause::PermissionDenied, ERROR_ACCESS_DENIED,
                     path + " is not a private file of this user"};
    return NoOsFile;
  }
  return reinterpret_cast<OsFile>(file);
}

int64_t OsReadAt(OsFile file, void* buffer, size_t count, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD n = 0;
  if (ReadFile(AsHandle(file), buffer, static_cast<DWORD>(count), &n, &at)) return n;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

int64_t OsWriteAt(OsFile file, const void* buffer, size_t count, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD n = 0;
  if (!WriteFile(AsHandle(file), buffer, static_cast<DWORD>(count), &n, &at)) return -1;
  return n;
}

int64_t OsSize(OsFile file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(AsHandle(file), &size) ? size.QuadPart : -1;
}

bool OsClose(OsFile file) {
  return CloseHandle(AsHandle(file)) != 0;
}

bool OsErase(const std::string& path) {
  return DeleteFileW(WideFromUtf8(path).c_str()) != 0;
}

int RunTimeErrorOf(const SysError& error) {
  // The run-time's numbers are the system's own here.
  return error.Code != 0 ? error.Code : IoAccessDenied;
}
