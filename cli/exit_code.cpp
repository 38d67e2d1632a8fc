#include "exit_code.h"

#include <array>

const char* const ExitCodeHelp =
    "Exit codes:\n"
    "  0  success (every port)\n"
    "  1  usage: the command line is wrong\n"
    "  2  the port cannot be opened (not found, permission denied, busy)\n"
    "  3  the device did not answer, stopped answering, or the line lost its answers\n"
    "  4  the image was refused: invalid, or it does not fit the device\n"
    "  5  programming failed: the device reported a failure in a sector\n"
    "  6  verify found a difference between the flash and the image\n"
    "  7  a file could not be read or written\n"
    "  129, 130, 143  stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM: the jobs ended as\n"
    "     cancelled, their records and the report were written\n"
    "With several ports the most severe code wins: 5, 6, 3, 4, 7, 2, 1.\n";

ExitCode ExitCodeOf(const JobResult& result) {
  if (result.Outcome == JobOutcome::Ok) return ExitCode::Success;
  switch (result.Failure) {
    case JobFailure::None:
      return ExitCode::Success;
    case JobFailure::PortNotOpened:
      return ExitCode::PortNotOpened;
    case JobFailure::DeviceSilent:
    case JobFailure::DeviceGarbled:
    case JobFailure::NotReady:
    case JobFailure::Cancelled:
      return ExitCode::DeviceSilent;
    case JobFailure::NoIdentity:
    case JobFailure::ImageRefused:
      return ExitCode::ImageRefused;
    case JobFailure::ProgrammingFailed:
      return ExitCode::ProgrammingFailed;
    case JobFailure::VerifyMismatch:
      return ExitCode::VerifyMismatch;
    case JobFailure::FileError:
      return ExitCode::FileError;
  }
  return ExitCode::DeviceSilent;
}

ExitCode MoreSevere(ExitCode a, ExitCode b) {
  // Most severe first.
  static constexpr std::array Order = {
      ExitCode::ProgrammingFailed,
      ExitCode::VerifyMismatch,
      ExitCode::DeviceSilent,
      ExitCode::ImageRefused,
      ExitCode::FileError,
      ExitCode::PortNotOpened,
      ExitCode::Usage,
      ExitCode::Success,
  };
  for (ExitCode code : Order) {
    if (a == code || b == code) return code;
  }
  return a;
}
