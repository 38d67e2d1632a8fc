// Regular files, the same on every system; the system's calls are in the
// backends (regular_file_posix.cpp, regular_file_win32.cpp).
#include "regular_file.h"

#include <algorithm>
#include <utility>

#include "seq_file_os.h"

namespace {

// Bytes asked for in one read of the system.
constexpr size_t ReadChunk = 64 * 1024;

SysError TooLarge(const std::string& path, int64_t size, int64_t maxBytes) {
  return SysError{ErrorCause::TooLarge, 0,
                  path + " holds " + std::to_string(size) + " bytes, more than the " +
                      std::to_string(maxBytes) + " such a file may have"};
}

}  // namespace

RegularFile::~RegularFile() {
  // Whoever cares for a failed close calls Close itself.
  (void)Close();
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : file_(std::exchange(other.file_, NoOsFile)),
      path_(std::move(other.path_)),
      id_(other.id_),
      position_(other.position_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
  if (this != &other) {
    (void)Close();
    file_ = std::exchange(other.file_, NoOsFile);
    path_ = std::move(other.path_);
    id_ = other.id_;
    position_ = other.position_;
  }
  return *this;
}

bool RegularFile::Open(const std::string& path, FileAccess access, SysError& error) {
  (void)Close();
  file_ = OsOpenRegular(path, access, &id_, error);
  path_ = path;
  position_ = 0;
  return file_ != NoOsFile;
}

bool RegularFile::Close() {
  if (file_ == NoOsFile) return true;
  const bool closed = OsClose(file_);
  file_ = NoOsFile;
  return closed;
}

int64_t RegularFile::Size() const {
  return file_ == NoOsFile ? -1 : OsSize(file_);
}

int64_t RegularFile::Read(void* buffer, size_t count, SysError& error) {
  error = {};
  if (file_ == NoOsFile) {
    error = SysError{ErrorCause::Other, 0, path_ + " is not open"};
    return -1;
  }
  const int64_t n = OsReadAt(file_, buffer, count, position_);
  if (n < 0) {
    error = OsLastError("cannot read " + path_);
    return -1;
  }
  position_ += n;
  return n;
}

FileRead ReadRegularFile(const std::string& path, int64_t maxBytes) {
  FileRead read;
  RegularFile file;
  if (!file.Open(path, FileAccess::Read, read.Error)) return read;
  read.Id = file.Id();
  const int64_t size = file.Size();
  if (size > maxBytes) {
    read.Error = TooLarge(path, size, maxBytes);
    return read;
  }
  read.Bytes.reserve(static_cast<size_t>(std::max<int64_t>(size, 0)));
  // Read to the end rather than to the size found: the file may grow or
  // shrink meanwhile, and the bound holds for what is actually read.
  for (;;) {
    const size_t at = read.Bytes.size();
    read.Bytes.resize(at + ReadChunk);
    const int64_t n = file.Read(read.Bytes.data() + at, ReadChunk, read.Error);
    read.Bytes.resize(at + static_cast<size_t>(std::max<int64_t>(n, 0)));
    if (n < 0) break;
    if (static_cast<int64_t>(read.Bytes.size()) > maxBytes) {
      read.Error = TooLarge(path, static_cast<int64_t>(read.Bytes.size()), maxBytes);
      break;
    }
    if (n == 0) break;
  }
  if (read.Error) read.Bytes.clear();
  return read;
}
