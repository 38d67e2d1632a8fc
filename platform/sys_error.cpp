#include "sys_error.h"

const char* CauseName(ErrorCause cause) {
  switch (cause) {
    case ErrorCause::None:
      return "no error";
    case ErrorCause::NotFound:
      return "not found";
    case ErrorCause::PermissionDenied:
      return "permission denied";
    case ErrorCause::Busy:
      return "busy";
    case ErrorCause::NotSerialDevice:
      return "not a serial device";
    case ErrorCause::SettingsRefused:
      return "line settings refused";
    case ErrorCause::TimedOut:
      return "timed out";
    case ErrorCause::NotRegularFile:
      return "not a regular file";
    case ErrorCause::TooLarge:
      return "too large";
    case ErrorCause::OwnFile:
      return "one of the program's own files";
    case ErrorCause::Other:
      break;
  }
  return "error";
}
