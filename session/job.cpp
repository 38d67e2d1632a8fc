#include "job.h"

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

const char* PhaseName(JobPhase phase) {
  switch (phase) {
    case JobPhase::Connect:
      return "connect";
    case JobPhase::Identify:
      return "identify";
    case JobPhase::Erase:
      return "erase";
    case JobPhase::Program:
      return "program";
    case JobPhase::Verify:
      return "verify";
    case JobPhase::Read:
      return "read";
  }
  return "job";
}
