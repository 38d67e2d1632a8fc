// Every file the program writes whole: for the operator (a report, a
// read-back, a saved log, an export) and for itself (a saved identity). The
// bytes go into a new file beside the destination, made with a random name
// that must not exist yet and never through a link, and are renamed over the
// destination once complete (pushed to the disk first): a reader sees the old
// file or the new one, never half of one, and nothing planted at either name
// is ever written through. A destination that is a folder, a pipe, a device
// or a socket (or a link to one) is refused with its cause; a link there is
// replaced by the file, never followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "own_files.h"
#include "sys_error.h"

class DestinationFile {
 public:
  DestinationFile() = default;
  // Neither committed nor kept: the new file is removed.
  ~DestinationFile();
  DestinationFile(const DestinationFile&) = delete;
  DestinationFile& operator=(const DestinationFile&) = delete;

  // For a file the operator named, written as `what` ("the report"):
  // refused (OwnFile) when `own` knows `path` as one of the program's files
  // or as a destination taken already in this run, and taken there;
  // otherwise as BeginOwn. False with `error` naming the file and its cause.
  bool Begin(const std::string& path, const std::string& what, SysError& error,
             OwnFiles& own = OwnFiles::OfThisRun());
  // For a file the program keeps for itself: the same care, without asking
  // the registry (the file is one of ours by right).
  bool BeginOwn(const std::string& path, SysError& error);

  // Appends to the new file.
  bool Write(const void* data, size_t size, SysError& error);
  // Pushes the new file to the disk and renames it over the destination.
  bool Commit(SysError& error);
  // Closes the new file and leaves it under TemporaryPath(), the destination
  // as it was: a read-back cut short keeps the words that arrived. Returns
  // that path (empty when nothing was begun).
  std::string Keep();
  // Closes and removes the new file; the destination stays as it was.
  void Abandon();

  bool IsOpen() const { return file_ != -1; }
  const std::string& Path() const { return path_; }
  // The new file beside the destination: "<destination>.<random>.part".
  const std::string& TemporaryPath() const { return temporary_; }
  int64_t Written() const { return written_; }

 private:
  void Close();

  intptr_t file_ = -1;
  std::string path_;
  std::string temporary_;
  int64_t written_ = 0;
  OwnFiles* taken_ = nullptr;  // the registry the destination was taken in
};

// `bytes` as the whole of the destination `path` (DestinationFile::Begin,
// Write, Commit).
bool WriteDestination(const std::string& path, const std::string& what, std::string_view bytes,
                      SysError& error, OwnFiles& own = OwnFiles::OfThisRun());
