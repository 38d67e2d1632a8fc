// Windows only: UTF-8 names to the system's wide ones and back, and the
// system's error numbers as SysError, for the Win32 backends.
#pragma once

#include <string>

#include "sys_error.h"

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// The system's own words for error `code` (FormatMessage), one line.
std::string SystemMessage(unsigned long code);
// The one table from GetLastError to the cause, for the file, host and serial
// backends alike; a backend adds only what its own context knows (a port held
// by another program is "access denied" to the system).
ErrorCause CauseOfWin32Error(unsigned long code);
// `what` (naming the file or port) with the system's words.
SysError Win32Error(unsigned long code, const std::string& what);
