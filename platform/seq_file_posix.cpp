// POSIX backend of the sequential file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "seq_file.h"

namespace {

constexpr size_t BufferSize = 64 * 1024;

int ErrnoToIoCode(int err) {
  switch (err) {
    case ENOENT:
      return IoFileNotFound;
    case ENOTDIR:
      return IoPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
    case EISDIR:
    case EBADF:
      return IoAccessDenied;
    default:
      return IoAccessDenied;
  }
}

}  // namespace

InOutError::InOutError(int code) : code_(code), text_("E/A-Fehler " + std::to_string(code)) {}

FileOpenMode SeqFile::DefaultOpenMode = FileOpenMode::ReadWrite;

struct SeqFile::Handle {
  int fd = -1;
};

SeqFile::SeqFile() : handle_(std::make_unique<Handle>()) {}

SeqFile::~SeqFile() {
  if (handle_->fd >= 0) {
    try {
      Flush();
    } catch (const InOutError&) {
      // Nobody is left to tell; the bytes that did reach the file stay.
    }
    ::close(handle_->fd);
  }
}

bool SeqFile::IsOpen() const {
  return handle_->fd >= 0;
}

void SeqFile::RequireOpen() const {
  if (handle_->fd < 0) throw InOutError(IoFileNotOpen);
}

void SeqFile::CloseQuietly() {
  if (!IsOpen()) return;
  try {
    Close();
  } catch (const InOutError&) {
    // Opening anew: what the old file failed to take is lost with it.
  }
}

bool SeqFile::Adopt(const std::string& path) {
  path_ = path;
  openError_ = 0;
  bufferStart_ = 0;
  readPos_ = readLen_ = writeLen_ = 0;
  return true;
}

bool SeqFile::OpenExisting(const std::string& path) {
  CloseQuietly();
  const int flags = (DefaultOpenMode == FileOpenMode::ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    openError_ = ErrnoToIoCode(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    openError_ = IoAccessDenied;
    return false;
  }
  handle_->fd = fd;
  return Adopt(path);
}

bool SeqFile::Create(const std::string& path) {
  CloseQuietly();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    openError_ = ErrnoToIoCode(errno);
    return false;
  }
  handle_->fd = fd;
  return Adopt(path);
}

bool SeqFile::CreatePrivate(const std::string& path) {
  CloseQuietly();
  // O_NOFOLLOW: a link planted at this name by someone else is never followed.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    openError_ = ErrnoToIoCode(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    openError_ = IoAccessDenied;
    return false;
  }
  handle_->fd = fd;
  return Adopt(path);
}

void SeqFile::Flush() {
  if (writeLen_ == 0) return;
  size_t done = 0;
  while (done < writeLen_) {
    const ssize_t n = ::pwrite(handle_->fd, buffer_.get() + done, writeLen_ - done,
                               bufferStart_ + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // What did not reach the file is dropped; the position stays past it so
      // that a later write does not land in the wrong place.
      bufferStart_ += static_cast<int64_t>(writeLen_);
      writeLen_ = 0;
      throw InOutError(IoDiskWriteError);
    }
    done += static_cast<size_t>(n);
  }
  bufferStart_ += static_cast<int64_t>(writeLen_);
  writeLen_ = 0;
}

uint8_t SeqFile::ReadByte() {
  RequireOpen();
  if (writeLen_ != 0) Flush();
  if (readPos_ < readLen_) return buffer_[readPos_++];
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(BufferSize);
  bufferStart_ += static_cast<int64_t>(readLen_);
  readPos_ = readLen_ = 0;
  ssize_t n;
  do {
    n = ::pread(handle_->fd, buffer_.get(), BufferSize, bufferStart_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw InOutError(IoDiskReadError);
  if (n == 0) throw InOutError(IoDiskReadError);
  readLen_ = static_cast<size_t>(n);
  return buffer_[readPos_++];
}

void SeqFile::WriteByte(uint8_t value) {
  RequireOpen();
  if (readLen_ != 0) {
    // Switching from reading to writing: continue at the logical position.
    bufferStart_ += static_cast<int64_t>(readPos_);
    readPos_ = readLen_ = 0;
  }
  if (!writeBuffered_) {
    ssize_t n;
    do {
      n = ::pwrite(handle_->fd, &value, 1, bufferStart_);
    } while (n < 0 && errno == EINTR);
    if (n != 1) throw InOutError(n < 0 && errno == EBADF ? IoAccessDenied : IoDiskWriteError);
    bufferStart_ += 1;
    return;
  }
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(BufferSize);
  if (writeLen_ == BufferSize) Flush();
  buffer_[writeLen_++] = value;
}

int64_t SeqFile::Size() {
  RequireOpen();
  struct stat st {};
  if (::fstat(handle_->fd, &st) != 0) throw InOutError(IoDiskReadError);
  const int64_t pending = bufferStart_ + static_cast<int64_t>(writeLen_);
  return st.st_size > pending ? st.st_size : pending;
}

int64_t SeqFile::Position() {
  RequireOpen();
  return bufferStart_ + static_cast<int64_t>(readPos_) + static_cast<int64_t>(writeLen_);
}

void SeqFile::Seek(int64_t offset) {
  RequireOpen();
  Flush();
  if (offset < 0) throw InOutError(131);  // negative seek: "access denied" of the run-time
  bufferStart_ = offset;
  readPos_ = readLen_ = 0;
}

void SeqFile::Close() {
  RequireOpen();
  int flushError = 0;
  try {
    Flush();
  } catch (const InOutError& e) {
    flushError = e.Code();
  }
  const int rc = ::close(handle_->fd);
  handle_->fd = -1;
  bufferStart_ = 0;
  readPos_ = readLen_ = writeLen_ = 0;
  if (flushError != 0) throw InOutError(flushError);
  if (rc != 0 && errno != EINTR) throw InOutError(IoDiskWriteError);
}

bool SeqFile::Erase(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}
