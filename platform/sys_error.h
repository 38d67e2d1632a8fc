// What went wrong in a call to the system: the cause as a person would name
// it, the system's own error number (errno, or GetLastError on Windows) and a
// text that names the file or port. The serial and file backends fill it in;
// the front ends turn the cause into advice.
#pragma once

#include <cstdint>
#include <string>

enum class ErrorCause : uint8_t {
  None,              // no error
  NotFound,          // the device or file does not exist
  PermissionDenied,  // it exists, but this user may not open it
  Busy,              // another program (or this one) holds it
  NotSerialDevice,   // it exists but is no serial port
  SettingsRefused,   // the port refused the line settings
  TimedOut,          // the call did not finish within its bound
  NotRegularFile,    // a folder, a pipe, a device or a socket where a file belongs
  TooLarge,          // a file larger than what the program reads from such a file
  OwnFile,           // a destination that is one of the program's own files, or taken already
  Other,             // anything else; Code and Text tell more
};

struct SysError {
  ErrorCause Cause = ErrorCause::None;
  int Code = 0;      // errno, or GetLastError on Windows; 0 when none applies
  std::string Text;  // plain English, naming the file or port and the system's words

  explicit operator bool() const { return Cause != ErrorCause::None; }
};

// A short name of the cause: "not found", "permission denied", "busy", ...
const char* CauseName(ErrorCause cause);
