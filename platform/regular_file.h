// The one way the program opens a file it reads (an image, an upload file, a
// saved identity) or a file of its own it appends to (the history): without
// ever waiting, regular files only. The open itself never blocks (a FIFO
// without a writer, a terminal); what was opened is then looked at, so that
// nothing can be swapped in between, and a folder, a pipe, a device or a
// socket is refused at once with its cause, naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sys_error.h"

// What makes a file the same file under every name it has (hard links,
// "./x", symbolic links): device and inode on POSIX, volume serial number and
// file index on Windows.
struct FileId {
  uint64_t Device = 0;
  uint64_t Index = 0;
  bool operator==(const FileId&) const = default;
};

// The file at `path` (links followed); nothing when there is none or the
// system does not tell.
std::optional<FileId> FileIdOf(const std::string& path);

enum class FileAccess : uint8_t {
  Read,       // read only, shared for reading, writing and deleting with others
  ReadWrite,  // an existing file, read and written
  Append,     // written at its end only; made when missing, readable by this user only
};

class RegularFile {
 public:
  RegularFile() = default;
  ~RegularFile();
  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  // Opens `path`; a file open already is closed first. False with `error`
  // naming the file and its cause ("… is a pipe, not a regular file").
  bool Open(const std::string& path, FileAccess access, SysError& error);
  bool IsOpen() const { return file_ != -1; }
  // False when the system reports a failure (the file is closed all the
  // same): what was appended may be incomplete.
  bool Close();
  const std::string& Path() const { return path_; }
  FileId Id() const { return id_; }
  // The size now; -1 when the system does not tell.
  int64_t Size() const;
  // Up to `count` bytes from where the last read ended: 0 at the end, -1 on
  // failure with `error` naming the file.
  int64_t Read(void* buffer, size_t count, SysError& error);
  // The system's descriptor (POSIX) or handle (Windows), for a backend's own
  // calls on the open file (a lock); the file keeps it.
  intptr_t Handle() const { return file_; }

 private:
  intptr_t file_ = -1;
  std::string path_;
  FileId id_;
  int64_t position_ = 0;
};

struct FileRead {
  std::vector<uint8_t> Bytes;
  FileId Id;
  SysError Error;  // set when the file was not read; Bytes is empty then
  explicit operator bool() const { return !Error; }
};

// The whole of the regular file `path`, of at most `maxBytes` bytes: a larger
// one is refused (TooLarge) naming its size and the bound, before anything
// is read.
FileRead ReadRegularFile(const std::string& path, int64_t maxBytes);
