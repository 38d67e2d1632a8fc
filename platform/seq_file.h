// The sequential file of the program: every file is a run of bytes with a
// record size of one, read or written one unit at a time.
//
// Opening reports failure through its result (the caller logs it). Every later
// operation on a file that failed, or that is not open, throws InOutError with
// the run-time error number; the handler or dispatcher pass that runs it is
// abandoned and the number is shown as "E/A-Fehler %d".
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "sys_error.h"

// Run-time error numbers carried by InOutError (and OpenError).
constexpr int IoFileNotFound = 2;
constexpr int IoPathNotFound = 3;
constexpr int IoTooManyOpenFiles = 4;
constexpr int IoAccessDenied = 5;
constexpr int IoSharingViolation = 32;
constexpr int IoDiskReadError = 100;  // read past the end of the file
constexpr int IoDiskWriteError = 101;
constexpr int IoFileNotOpen = 103;

class InOutError : public std::exception {
 public:
  explicit InOutError(int code);
  int Code() const { return code_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  int code_;
  std::string text_;
};

// How an existing file is opened for reading.
enum class FileOpenMode : uint8_t {
  ReadOnly,   // read access only, shared for reading and writing with others
  ReadWrite,  // read and write access
};

class SeqFile {
 public:
  SeqFile();
  ~SeqFile();
  SeqFile(const SeqFile&) = delete;
  SeqFile& operator=(const SeqFile&) = delete;

  // The program-wide mode in which OpenExisting opens files. Start-up sets it
  // to ReadOnly, so that a write-protected file can be used and no file the
  // operator chose is ever opened for writing.
  static FileOpenMode DefaultOpenMode;

  // Opens an existing regular file at its first byte, in DefaultOpenMode. A
  // file that is open already is closed first. False when it cannot be
  // opened; a FIFO or a device is refused at once, never waited for.
  bool OpenExisting(const std::string& path);
  // Creates the file for reading and writing, or empties an existing one.
  bool Create(const std::string& path);
  // As Create, for a private file: mode 0600, never through a symbolic link,
  // and refused when the file belongs to another user.
  bool CreatePrivate(const std::string& path);
  // Run-time error number of the last failed open (0 after a successful one).
  int OpenError() const { return openError_; }
  // Why the last open failed, naming the file (no error after a success).
  const SysError& OpenCause() const { return openCause_; }

  bool IsOpen() const;
  const std::string& Path() const { return path_; }

  uint8_t ReadByte();             // 100 past the end
  void WriteByte(uint8_t value);  // 101 when the system refuses the byte
  int64_t Size();
  int64_t Position();
  void Seek(int64_t offset);
  void Close();  // 103 when not open

  // Writes made through WriteByte reach the system at once unless this is
  // set; a buffered file reports a failed write at the latest when closed.
  void SetWriteBuffered(bool buffered) { writeBuffered_ = buffered; }

  // Deletes a file; false when it could not be deleted.
  static bool Erase(const std::string& path);

 private:
  void Flush();
  void RequireOpen() const;
  void CloseQuietly();
  // Takes on the file the system opened, or records why it could not.
  bool Adopt(intptr_t file, bool writable, const std::string& path);

  intptr_t file_ = -1;  // the system's descriptor or handle
  bool writable_ = false;
  std::string path_;
  int openError_ = 0;
  SysError openCause_;
  bool writeBuffered_ = false;
  // Read-ahead and write-behind buffer; readPos_/readLen_ describe read-ahead.
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  size_t readPos_ = 0;
  size_t readLen_ = 0;
  size_t writeLen_ = 0;
};
