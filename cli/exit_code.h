// The exit codes of updater-cli and how a job's end maps onto them. Scripts
// on a production line branch on these numbers, so they never change meaning.
#pragma once

#include <string>

#include "session/job.h"

enum class ExitCode : int {
  Success = 0,
  Usage = 1,              // the command line is wrong
  PortNotOpened = 2,      // the port cannot be opened (not found, permission, busy)
  DeviceSilent = 3,       // the device did not answer, or stopped answering
  ImageRefused = 4,       // the image is invalid or does not fit the device
  ProgrammingFailed = 5,  // the device reported a failure in a sector
  VerifyMismatch = 6,     // the read-back after programming differs from the image
  FileError = 7,          // a file could not be read or written
};

// The text of --help that explains the codes.
extern const char* const ExitCodeHelp;

// The exit code for a job that ended with `result`.
ExitCode ExitCodeOf(const JobResult& result);

// Of two codes, the one a run over several ports reports: a device left in a
// worse state wins (programming failed, verify difference, stopped answering
// in the middle), then refusals that left the device untouched.
ExitCode MoreSevere(ExitCode a, ExitCode b);

inline int ToInt(ExitCode code) {
  return static_cast<int>(code);
}
