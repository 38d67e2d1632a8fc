// The jobs of a session and how each ends: one JobResult per job started.
#pragma once

#include <cstdint>
#include <string>

#include "firmware/identity.h"

// The jobs an operator starts.
enum class Job : uint8_t {
  Connect,         // "connect": upload loader and flash routine, read the sector table
  VerifyHardware,  // "verify hardware": read the device's identity
  Download,        // "download": check, patch, erase and program an image
  ReadBack,        // read the service sectors into a file
  EraseOnly,       // erase the service sectors and program "empty"
};

// The steps of a job that take time on the line, as progress reports them.
enum class JobPhase : uint8_t {
  Connect,   // the upload and the sector table
  Identify,  // the identity block is read
  Erase,     // sectors are erased
  Program,   // sectors are programmed
  Verify,    // the programmed sectors are read back and compared
  Read,      // the read-back into a file
};

enum class JobOutcome : uint8_t {
  Ok,       // the job did what it was asked
  Failed,   // it started on the device and did not finish
  Refused,  // it was not started on the device: nothing was changed there
};

// Why a job did not end well; None for Ok.
enum class JobFailure : uint8_t {
  None,
  PortNotOpened,      // the serial port could not be opened
  DeviceSilent,       // the device did not answer, or stopped answering
  DeviceGarbled,      // the device's answer made no sense (framing lost, bad values)
  NoIdentity,         // the device holds no identity block
  ImageRefused,       // the image is invalid or does not fit the device
  ProgrammingFailed,  // the device reported a failure for a sector
  VerifyMismatch,     // the read-back after programming differs from what was sent
  FileError,          // a file could not be found, read or written
  NotReady,           // the job cannot run now (not connected, another job running)
  Cancelled,          // the operator cancelled, or the program is closing
};

// How a job ended. Sector, Count and Identity are filled in where they apply.
struct JobResult {
  JobOutcome Outcome = JobOutcome::Ok;
  JobFailure Failure = JobFailure::None;
  std::string Reason;        // short, plain English; empty for Ok
  int32_t Sector = -1;       // the sector concerned, -1 for none
  int64_t Count = 0;         // bytes programmed or verified, or words read
  bool HasIdentity = false;  // Identity holds the device's identity
  DeviceIdentity Identity;
  int64_t Address = -1;  // VerifyMismatch: the first differing address
  int Written = -1;      // VerifyMismatch: the byte sent there
  int Read = -1;         // VerifyMismatch: the byte read back
  // The job sent its first erase: the device's flash is no longer what it was.
  bool FlashTouched = false;
};

// Where a job stands: `Count` of `Total` bytes or words of its phase.
struct JobProgress {
  Job Of = Job::Connect;
  JobPhase Phase = JobPhase::Connect;
  int64_t Count = 0;
  int64_t Total = 0;
  const char* Unit = "bytes";  // "bytes", "words" or "sectors"
};

// Short names of a job, an outcome and a phase, for logs, reports and records.
const char* JobName(Job job);
const char* OutcomeName(JobOutcome outcome);
const char* PhaseName(JobPhase phase);
