// The few calls the program's files need from the system. One backend per
// system (seq_file_*.cpp, regular_file_*.cpp, destination_*.cpp); the
// buffering and the rules above them are the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "regular_file.h"
#include "sys_error.h"

// An open file of the system: a descriptor or a handle.
using OsFile = intptr_t;
constexpr OsFile NoOsFile = -1;

// Opens a regular file without ever blocking (RegularFile::Open); `id`, when
// given, receives the open file's identity.
OsFile OsOpenRegular(const std::string& path, FileAccess access, FileId* id, SysError& error);
// Creates `path`, which must not exist yet, never through a link at that
// name: readable by others as the user's defaults allow. `existed` tells
// whether something at that name was the reason for a failure.
OsFile OsCreateNew(const std::string& path, SysError& error, bool* existed);
// Pushes what was written to the file down to the disk.
bool OsSync(OsFile file);
// What stands at `path`, when it is something a destination must never
// replace (a folder, a pipe, a device, a socket, or a link to one of them);
// no error when nothing or a regular file (or a link to one) is there.
SysError OsDestinationRefusal(const std::string& path);
// Renames `from` over `to`, which is replaced as one step (a link at `to` is
// replaced, never followed), and makes the rename last.
SysError OsReplace(const std::string& from, const std::string& to);
// Creates the file for reading and writing, or empties an existing one.
OsFile OsCreate(const std::string& path, SysError& error);
// As OsCreate, for a file only this user may read: never through a link, and
// refused when the file belongs to someone else.
OsFile OsCreatePrivate(const std::string& path, SysError& error);
// Bytes read at `offset`: 0 at the end of the file, -1 on failure.
int64_t OsReadAt(OsFile file, void* buffer, size_t count, int64_t offset);
// Bytes written at `offset`; -1 on failure.
int64_t OsWriteAt(OsFile file, const void* buffer, size_t count, int64_t offset);
// -1 on failure.
int64_t OsSize(OsFile file);
// False when the system reports a failure (the file is closed all the same).
bool OsClose(OsFile file);
bool OsErase(const std::string& path);
// `path` as one name per file: absolute, the links on the way (and at the
// end, where the file exists) resolved; letter case folded where the system
// ignores it.
std::string OsNameKey(const std::string& path);
// The system's error of the call that just failed on this thread, naming
// `what` (errno, or GetLastError on Windows).
SysError OsLastError(const std::string& what);
// The run-time error number ("E/A-Fehler %d") of a failed open: 2 file not
// found, 3 path not found, 5 access denied, 32 in use, ...
int RunTimeErrorOf(const SysError& error);
