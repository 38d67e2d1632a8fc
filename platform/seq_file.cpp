// The sequential file's buffering, the same on every system; the system's
// calls are in its backends (seq_file_os.h).
#include "seq_file.h"

#include "seq_file_os.h"

namespace {

constexpr size_t BufferSize = 64 * 1024;
// A seek before the first byte; the run-time's "access denied" of a seek.
constexpr int IoNegativeSeek = 131;

}  // namespace

InOutError::InOutError(int code) : code_(code), text_("E/A-Fehler " + std::to_string(code)) {}

FileOpenMode SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;

SeqFile::SeqFile() = default;

SeqFile::~SeqFile() {
  if (file_ == NoOsFile) return;
  try {
    Flush();
  } catch (const InOutError&) {
    // Nobody is left to tell; the bytes that did reach the file stay.
  }
  (void)OsClose(file_);
}

bool SeqFile::IsOpen() const {
  return file_ != NoOsFile;
}

void SeqFile::RequireOpen() const {
  if (file_ == NoOsFile) throw InOutError(IoFileNotOpen);
}

void SeqFile::CloseQuietly() {
  if (!IsOpen()) return;
  try {
    Close();
  } catch (const InOutError&) {
    // Opening anew: what the old file failed to take is lost with it.
  }
}

bool SeqFile::Adopt(intptr_t file, bool writable, const std::string& path) {
  if (file == NoOsFile) {
    openError_ = RunTimeErrorOf(openCause_);
    return false;
  }
  file_ = file;
  writable_ = writable;
  path_ = path;
  openError_ = 0;
  bufferStart_ = 0;
  readPos_ = readLen_ = writeLen_ = 0;
  return true;
}

bool SeqFile::OpenExisting(const std::string& path) {
  CloseQuietly();
  const bool writable = DefaultOpenMode == FileOpenMode::ReadWrite;
  return Adopt(
      OsOpenRegular(path, writable ? FileAccess::ReadWrite : FileAccess::Read, nullptr, openCause_),
      writable, path);
}

bool SeqFile::Create(const std::string& path) {
  CloseQuietly();
  return Adopt(OsCreate(path, openCause_), true, path);
}

bool SeqFile::CreatePrivate(const std::string& path) {
  CloseQuietly();
  return Adopt(OsCreatePrivate(path, openCause_), true, path);
}

void SeqFile::Flush() {
  if (writeLen_ == 0) return;
  size_t done = 0;
  while (done < writeLen_) {
    const int64_t n = OsWriteAt(file_, buffer_.get() + done, writeLen_ - done,
                                bufferStart_ + static_cast<int64_t>(done));
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
  const int64_t n = OsReadAt(file_, buffer_.get(), BufferSize, bufferStart_);
  if (n <= 0) throw InOutError(IoDiskReadError);  // past the end, or the system failed
  readLen_ = static_cast<size_t>(n);
  return buffer_[readPos_++];
}

void SeqFile::WriteByte(uint8_t value) {
  RequireOpen();
  if (!writable_) throw InOutError(IoAccessDenied);
  if (readLen_ != 0) {
    // Switching from reading to writing: continue at the logical position.
    bufferStart_ += static_cast<int64_t>(readPos_);
    readPos_ = readLen_ = 0;
  }
  if (!writeBuffered_) {
    if (OsWriteAt(file_, &value, 1, bufferStart_) != 1) throw InOutError(IoDiskWriteError);
    bufferStart_ += 1;
    return;
  }
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(BufferSize);
  if (writeLen_ == BufferSize) Flush();
  buffer_[writeLen_++] = value;
}

int64_t SeqFile::Size() {
  RequireOpen();
  const int64_t size = OsSize(file_);
  if (size < 0) throw InOutError(IoDiskReadError);
  const int64_t pending = bufferStart_ + static_cast<int64_t>(writeLen_);
  return size > pending ? size : pending;
}

int64_t SeqFile::Position() {
  RequireOpen();
  return bufferStart_ + static_cast<int64_t>(readPos_) + static_cast<int64_t>(writeLen_);
}

void SeqFile::Seek(int64_t offset) {
  RequireOpen();
  Flush();
  if (offset < 0) throw InOutError(IoNegativeSeek);
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
  const bool closed = OsClose(file_);
  file_ = NoOsFile;
  bufferStart_ = 0;
  readPos_ = readLen_ = writeLen_ = 0;
  if (flushError != 0) throw InOutError(flushError);
  if (!closed) throw InOutError(IoDiskWriteError);
}

bool SeqFile::Erase(const std::string& path) {
  return OsErase(path);
}
