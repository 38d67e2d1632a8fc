// The few calls the sequential file needs from the system. One backend per
// system (seq_file_posix.cpp, seq_file_win32.cpp); the buffering above them is
// the same everywhere (seq_file.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sys_error.h"

// An open file of the system: a descriptor or a handle.
using OsFile = intptr_t;
constexpr OsFile NoOsFile = -1;

// Opens an existing regular file, shared for reading and writing with
// others, without ever blocking: anything that is not a regular file (a
// folder, a FIFO, a device) is refused.
OsFile OsOpenExisting(const std::string& path, bool writable, SysError& error);
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
// The run-time error number ("E/A-Fehler %d") of a failed open: 2 file not
// found, 3 path not found, 5 access denied, 32 in use, ...
int RunTimeErrorOf(const SysError& error);
