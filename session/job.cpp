#include "session_window.h"

const char* JobName(Job job) {
  switch (job) {
    case Job::Connect:
      return "connect";
    case Job::VerifyHardware:
      return "verify hardware";
    case Job::Download:
      return "download";
    case Job::ReadBack:
      return "read-back";
    case Job::EraseOnly:
      return "erase";
  }
  return "job";
}

const char* OutcomeName(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::Ok:
      return "ok";
    case JobOutcome::Failed:
      return "failed";
    case JobOutcome::Refused:
      return "refused";
  }
  return "unknown";
}
