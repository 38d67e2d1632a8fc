// Destinations, the same on every system; the system's calls are in the
// backends (regular_file_posix.cpp, regular_file_win32.cpp).
#include "destination.h"

#include <cstdio>
#include <random>
#include <utility>

#include "seq_file_os.h"

namespace {

// Names tried for the new file before giving up: another file at a random
// name is already unlikely once.
constexpr int NewNameAttempts = 16;

std::string RandomTag() {
  std::random_device random;
  const uint64_t value = (uint64_t{random()} << 32) ^ random();
  char tag[17];
  std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(value));
  return tag;
}

}  // namespace

DestinationFile::~DestinationFile() {
  Abandon();
}

bool DestinationFile::Begin(const std::string& path, const std::string& what, SysError& error,
                            OwnFiles& own) {
  Abandon();
  if (path.empty()) {
    error = SysError{ErrorCause::NotFound, 0, "no file named for " + what};
    return false;
  }
  if (!own.Take(path, what, error)) return false;
  if (!BeginOwn(path, error)) {
    own.Release(path);
    return false;
  }
  taken_ = &own;
  return true;
}

bool DestinationFile::BeginOwn(const std::string& path, SysError& error) {
  Abandon();
  error = OsDestinationRefusal(path);
  if (error) return false;
  for (int attempt = 0; attempt < NewNameAttempts; ++attempt) {
    const std::string temporary = path + "." + RandomTag() + ".part";
    bool existed = false;
    const OsFile file = OsCreateNew(temporary, error, &existed);
    if (file != NoOsFile) {
      file_ = file;
      path_ = path;
      temporary_ = temporary;
      written_ = 0;
      return true;
    }
    if (!existed) return false;
  }
  return false;
}

bool DestinationFile::Write(const void* data, size_t size, SysError& error) {
  error = {};
  if (!IsOpen()) {
    error = SysError{ErrorCause::Other, 0, "nothing begun to write " + path_};
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const int64_t n = OsWriteAt(file_, bytes + done, size - done, written_);
    if (n <= 0) {
      error = OsLastError("cannot write " + temporary_);
      return false;
    }
    done += static_cast<size_t>(n);
    written_ += n;
  }
  return true;
}

bool DestinationFile::Commit(SysError& error) {
  error = {};
  if (!IsOpen()) {
    error = SysError{ErrorCause::Other, 0, "nothing begun to write " + path_};
    return false;
  }
  if (!OsSync(file_)) {
    error = OsLastError("cannot write " + temporary_ + " to the disk");
    Abandon();
    return false;
  }
  const bool closed = OsClose(file_);
  file_ = NoOsFile;
  if (!closed) {
    error = OsLastError("cannot write " + temporary_);
  } else {
    error = OsReplace(temporary_, path_);
  }
  if (error) {
    (void)OsErase(temporary_);
    if (taken_) taken_->Release(path_);
  }
  temporary_.clear();
  taken_ = nullptr;
  return !error;
}

std::string DestinationFile::Keep() {
  if (!IsOpen()) return {};
  Close();
  if (taken_) taken_->Release(path_);
  taken_ = nullptr;
  return std::exchange(temporary_, std::string());
}

void DestinationFile::Abandon() {
  if (!IsOpen()) return;
  Close();
  // Only the new file made here is removed; nothing else has its name.
  (void)OsErase(temporary_);
  temporary_.clear();
  if (taken_) taken_->Release(path_);
  taken_ = nullptr;
}

void DestinationFile::Close() {
  // What the new file did not take is reported by Write and Commit; a file
  // given up on has nothing left to tell.
  (void)OsClose(file_);
  file_ = NoOsFile;
}

bool WriteDestination(const std::string& path, const std::string& what, std::string_view bytes,
                      SysError& error, OwnFiles& own) {
  DestinationFile file;
  return file.Begin(path, what, error, own) && file.Write(bytes.data(), bytes.size(), error) &&
         file.Commit(error);
}
