// Windows side of the update history: appends through an append-only handle
// under LockFileEx, one WriteFile per line; SHA-256 through BCrypt.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

#include "history_os.h"
#include "platform/regular_file.h"
#include "platform/win32_text.h"

std::string StateFolder() {
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

const char* NoStateFolderReason() {
  return "the folder LOCALAPPDATA is not known";
}

bool AppendLocked(const std::string& file, const std::string& line, std::string* warning) {
  auto fail = [warning, &file](const char* what, DWORD code) {
    if (warning) *warning = std::string(what) + file + ": " + SystemMessage(code);
    return false;
  };
  // The program's safe open: appends only, and a pipe or a device at the
  // history's name is refused at once.
  RegularFile history;
  SysError error;
  if (!history.Open(file, FileAccess::Append, error)) {
    if (warning) *warning = "history not written: " + error.Text;
    return false;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(history.Handle());
  // The whole file, and every byte it may grow to, for the time of the write.
  OVERLAPPED whole{};
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return fail("history not written: cannot lock ", GetLastError());
  }
  DWORD written = 0;
  const bool wrote =
      WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != 0;
  const DWORD writeError = GetLastError();
  OVERLAPPED unlock{};
  UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &unlock);
  const bool closed = history.Close();
  if (!wrote) return fail("history not written: ", writeError);
  if (written != line.size()) {
    if (warning) *warning = "history not written: " + file + ": short write";
    return false;
  }
  if (!closed) {
    if (warning) *warning = "history may be incomplete: closing " + file + " failed";
    return false;
  }
  return true;
}

struct Sha256::State {
  BCRYPT_ALG_HANDLE Algorithm = nullptr;
  BCRYPT_HASH_HANDLE Hash = nullptr;
  std::vector<UCHAR> Object;  // the hash's working memory, ours to give
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&s.Algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    s.Algorithm = nullptr;
    return;
  }
  DWORD objectSize = 0;
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(s.Algorithm, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                                        &got, 0))) {
    return;
  }
  s.Object.resize(objectSize);
  if (!BCRYPT_SUCCESS(BCryptCreateHash(s.Algorithm, &s.Hash, s.Object.data(),
                                       static_cast<ULONG>(s.Object.size()), nullptr, 0, 0))) {
    s.Hash = nullptr;
  }
}

Sha256::~Sha256() {
  if (state_->Hash != nullptr) BCryptDestroyHash(state_->Hash);
  if (state_->Algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->Algorithm, 0);
}

bool Sha256::Ready() const {
  return state_->Hash != nullptr;
}

void Sha256::Add(const void* data, size_t size) {
  if (!Ready()) return;
  // BCryptHashData takes at most 4 GiB at a time.
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG part = static_cast<ULONG>(size < MAXDWORD ? size : MAXDWORD);
    BCryptHashData(state_->Hash, const_cast<PUCHAR>(bytes), part, 0);
    bytes += part;
    size -= part;
  }
}

Sha256::Digest Sha256::Finish() {
  Digest digest{};
  if (Ready()) BCryptFinishHash(state_->Hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  return digest;
}
