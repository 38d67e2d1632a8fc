#include "report.h"

#include <nlohmann/json.hpp>

#include "core/history.h"
#include "platform/destination.h"
#include "store/job_record.h"
#include "updater_version.h"

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

std::string UtcNow() {
  return UtcTimeText(std::chrono::system_clock::now());
}

std::string ReportJson(const RunSummary& run) {
  Json ports = Json::array();
  for (const PortOutcome& port : run.Ports) {
    // The port's part is the board's record as the store keeps it, with the
    // line the operator saw.
    Json entry = RecordToJson(port.Record);
    entry["message"] = port.Message;
    ports.push_back(std::move(entry));
  }
  Json report{
      {"schema", RecordSchema}, {"program", "updater-cli"}, {"version", UPDATER_VERSION},
      {"command", run.Command}, {"started", run.Started},   {"seconds", run.Seconds},
      {"ports", ports},         {"exitCode", run.Code},
  };
  if (run.StopSignal != 0) report["stoppedBy"] = run.StopSignalName;
  // Device strings may hold bytes that are no UTF-8: they become U+FFFD.
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteReport(const std::string& path, const RunSummary& run, std::string* why) {
  // Never one of the program's own files, nor a destination of this run, by
  // whatever name; never through a link, into a FIFO or onto a device.
  OwnFiles& own = OwnFiles::OfThisRun();
  AddStateFilesTo(own);
  if (run.Image) own.Add(run.Image->Path, "the firmware image");
  SysError error;
  if (!WriteDestination(path, "the report", ReportJson(run), error, own)) {
    if (why) *why = "the report was not written: " + error.Text;
    return false;
  }
  return true;
}
