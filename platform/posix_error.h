// POSIX only: errno as the program's SysError. The one table from errno to
// the cause, for the file, host and serial backends alike; a backend adds
// only what its own context knows (a busy port's holder, a device's group).
#pragma once

#include <string>

#include "sys_error.h"

ErrorCause CauseOfErrno(int err);
// `what` (naming the file or port) with the system's words:
// "cannot open /dev/ttyUSB0: No such file or directory".
SysError ErrnoError(int err, const std::string& what);
// A failed open of the file `path`: as ErrnoError, and a missing folder on the
// way is ENOTDIR ("path not found") where errno says only ENOENT.
SysError FileOpenError(int err, const std::string& path);
