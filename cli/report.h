// The JSON report of one run (--report FILE): per port the board's record as
// the store keeps it (docs/cli.md, "Record schema") and the line the operator
// saw, under the run's own fields and the schema's version.
#pragma once

#include <string>
#include <vector>

#include "port_job.h"

struct RunSummary {
  std::string Command;  // "update", "identify", ...
  const ImagePlan* Image = nullptr;
  std::vector<PortOutcome> Ports;
  int Code = 0;  // the run's exit code
  // The signal that stopped the run ("SIGINT"), 0 and empty for none.
  int StopSignal = 0;
  std::string StopSignalName;
  std::string Started;  // UTC, ISO 8601
  double Seconds = 0;
};

std::string ReportJson(const RunSummary& run);
// Writes the report; false with `why` set when the file cannot be written.
bool WriteReport(const std::string& path, const RunSummary& run, std::string* why);
// The time now, UTC, ISO 8601 with milliseconds.
std::string UtcNow();
