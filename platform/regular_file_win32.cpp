// Windows side of the program's files: opens that take regular files only,
// and destinations made afresh beside their final name.
#include <windows.h>

#include <filesystem>

#include "seq_file_os.h"
#include "win32_text.h"

namespace {

// A reader (a virus scanner, an editor) may hold the destination open for a
// moment, or another rename of this run may be replacing it: Windows then
// refuses to replace it, and the rename is tried again.
constexpr int ReplaceAttempts = 20;
constexpr DWORD ReplacePauseMs = 10;

SysError NotRegular(const std::string& path, const char* kind, DWORD code,
                    const char* how = " is ") {
  return SysError{ErrorCause::NotRegularFile, static_cast<int>(code),
                  path + how + kind + ", not a regular file"};
}

// What the open `file` is when it is no regular file ("a pipe"); nothing
// when it is one.
const char* KindOf(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_PIPE:
      return "a pipe";
    case FILE_TYPE_CHAR:
      return "a device";
    default:
      return "something other than a file";
  }
  BY_HANDLE_FILE_INFORMATION own{};
  if (!info) info = &own;
  if (!GetFileInformationByHandle(file, info)) return "something other than a file";
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
  return nullptr;
}

bool IsFolder(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber,
                (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(WideFromUtf8(text));
}

}  // namespace

OsFile OsOpenRegular(const std::string& path, FileAccess access, FileId* id, SysError& error) {
  error = {};
  const std::wstring name = WideFromUtf8(path);
  DWORD rights = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  if (access == FileAccess::ReadWrite) rights = GENERIC_READ | GENERIC_WRITE;
  if (access == FileAccess::Append) {
    // Without FILE_WRITE_DATA every write of this handle goes to the file's
    // end, whoever else appends meanwhile; reading is there for LockFileEx,
    // which wants read or write access.
    rights = FILE_APPEND_DATA | FILE_READ_DATA;
    disposition = OPEN_ALWAYS;
  }
  // Shared for deleting too, as on POSIX: another program may remove or
  // replace the file while it is read here; this handle keeps its bytes.
  const HANDLE file =
      CreateFileW(name.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A folder opens only for its own kind of access: "access denied" says
    // no more than that it is one.
    error = code == ERROR_ACCESS_DENIED && IsFolder(name) ? NotRegular(path, "a folder", code)
                                                          : Win32Error(code, path);
    return NoOsFile;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (const char* kind = KindOf(file, &info)) {
    CloseHandle(file);
    error = NotRegular(path, kind, 0);
    return NoOsFile;
  }
  if (id) *id = IdOf(info);
  return reinterpret_cast<OsFile>(file);
}

std::optional<FileId> FileIdOf(const std::string& path) {
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return std::nullopt;
  return IdOf(info);
}

std::string OsNameKey(const std::string& path) {
  std::error_code error;
  std::filesystem::path name = std::filesystem::weakly_canonical(PathFromUtf8(path), error);
  if (error) name = std::filesystem::absolute(PathFromUtf8(path), error).lexically_normal();
  std::wstring text = name.wstring();
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return Utf8FromWide(text);
}

SysError OsLastError(const std::string& what) {
  return Win32Error(GetLastError(), what);
}

OsFile OsCreateNew(const std::string& path, SysError& error, bool* existed) {
  error = {};
  *existed = false;
  // CREATE_NEW refuses any name that is there, a link included.
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) return reinterpret_cast<OsFile>(file);
  const DWORD code = GetLastError();
  *existed = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
  error = Win32Error(code, path);
  return NoOsFile;
}

bool OsSync(OsFile file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

SysError OsDestinationRefusal(const std::string& path) {
  const std::wstring name = WideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  const bool link =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  // Opened for its attributes only, links followed: a device name (NUL,
  // COM1) or a link to a folder shows what it is.
  const HANDLE file = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // Nothing there (or a dangling link, which is replaced); whatever else
    // keeps the file from being made is told by the creation itself.
    return {};
  }
  const char* kind = KindOf(file, nullptr);
  CloseHandle(file);
  if (!kind) return {};
  return NotRegular(path, kind, 0, link ? " is a link to " : " is ");
}

SysError OsReplace(const std::string& from, const std::string& to) {
  const std::wstring source = WideFromUtf8(from);
  const std::wstring target = WideFromUtf8(to);
  DWORD code = 0;
  for (int attempt = 0; attempt < ReplaceAttempts; ++attempt) {
    if (MoveFileExW(source.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return {};
    }
    code = GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) break;
    Sleep(ReplacePauseMs);
  }
  return Win32Error(code, "cannot rename " + from + " to " + to);
}
