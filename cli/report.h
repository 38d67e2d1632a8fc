// The JSON report of one run (--report FILE): per port the identity before
// the update, the image, the identity written, the time of each phase, the
// verify result, the outcome and the exit code.
#pragma once

#include <string>
#include <vector>

#include "port_job.h"

struct RunSummary {
  std::string Command;  // "update", "identify", ...
  const ImagePlan* Image = nullptr;
  std::vector<PortOutcome> Ports;
  ExitCode Code = ExitCode::Success;
  std::string Started;  // UTC, ISO 8601
  double Seconds = 0;
};

std::string ReportJson(const RunSummary& run);
// Writes the report; false with `why` set when the file cannot be written.
bool WriteReport(const std::string& path, const RunSummary& run, std::string* why);
// The time now, UTC, ISO 8601 with milliseconds.
std::string UtcNow();
