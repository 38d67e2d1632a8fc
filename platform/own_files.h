// The program's own files (the image, the upload files, the history, the
// saved identities, the record store) and the destinations already taken in
// this run, so that no file the operator names for writing is ever one of
// them: a report named like the image, a read-back onto the history, a saved
// log onto the read-back of the same run. A file is known under every name it
// has: by its identity (a hard link, "./x", a symbolic link to it) and, for a
// file that does not exist yet, by its name with the links on the way
// resolved.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "regular_file.h"
#include "sys_error.h"

class OwnFiles {
 public:
  // The one registry of this process, which the core and the front ends fill
  // and every destination is checked against.
  static OwnFiles& OfThisRun();

  // `path` is one of the program's files; `what` says which, as a person
  // would ("the firmware image"). Adding a file again changes nothing.
  void Add(const std::string& path, const std::string& what);
  // Every file in `folder` is one of the program's ("a saved identity").
  void AddFolder(const std::string& folder, const std::string& what);

  // What `path` is, in words, when it is one of the program's files or a
  // destination taken in this run: "the firmware image fits.bin", "the
  // report r.json of this run"; empty when it is none of them.
  std::string Check(const std::string& path) const;
  // Check, and `path` becomes a destination of this run taken by `what`
  // ("the report"), in one step: false with `error` (OwnFile, naming both)
  // when it is one of ours or taken already.
  bool Take(const std::string& path, const std::string& what, SysError& error);
  // The destination `path` is free again (it could not be written after all).
  void Release(const std::string& path);
  // Every destination is free again: where one run ends and the next begins
  // in the same process (the window's next job).
  void ReleaseDestinations();

 private:
  struct Entry {
    std::string Path;  // as given
    std::string Name;  // the name with the links on the way resolved
    std::string What;
    bool Folder = false;
    bool Destination = false;
  };
  std::string CheckLocked(const std::string& path) const;
  static std::string Words(const Entry& entry, const std::string& file);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};
