#include "report.h"

#include <nlohmann/json.hpp>

#include "core/history.h"
#include "platform/destination.h"
#include "updater_version.h"

namespace {

using Json = nlohmann::ordered_json;

Json IdentityJson(const std::optional<DeviceIdentity>& identity) {
  if (!identity) return nullptr;
  return Json{
      {"productName", identity->ProductName},
      {"hardwareVersion", identity->HardwareVersion},
      {"serialNumber", identity->SerialNumberFound ? Json(identity->SerialNumber) : Json(nullptr)},
      {"brandLabel", identity->BrandLabel},
  };
}

Json ImageJson(const ImagePlan* image) {
  if (!image) return nullptr;
  return Json{
      {"path", image->Path},
      {"size", image->Size},
      {"sha256", image->Sha256},
      {"productName", image->Identity.ProductName},
      {"hardwareVersion", image->Identity.HardwareVersion},
      {"sectors", image->Sectors},
  };
}

Json VerifyJson(const PortOutcome& port) {
  Json verify{{"result", VerifyResultName(port.Verify)}};
  if (port.Verify == VerifyResult::Mismatch) {
    verify["address"] = port.Result.Address;
    verify["written"] = port.Result.Written;
    verify["read"] = port.Result.Read;
    if (port.Result.Sector >= 0) verify["sector"] = port.Result.Sector;
  }
  return verify;
}

}  // namespace

std::string UtcNow() {
  return UtcTimeText(std::chrono::system_clock::now());
}

std::string ReportJson(const RunSummary& run) {
  Json ports = Json::array();
  for (const PortOutcome& port : run.Ports) {
    Json phases = Json::object();
    for (const PhaseTime& phase : port.Phases) phases[phase.Name] = phase.Seconds;
    ports.push_back(Json{
        {"port", port.Port.Given},
        {"deviceFile", port.DeviceFile},
        {"identityBefore", IdentityJson(port.IdentityBefore)},
        // "saved": the device held none and --identity stood in for it.
        {"identitySource", port.IdentityFromFile ? "saved" : "device"},
        {"image", ImageJson(run.Image)},
        {"identityWritten", IdentityJson(port.IdentityWritten)},
        {"phases", phases},
        {"verify", VerifyJson(port)},
        {"outcome", OutcomeName(port.Result.Outcome)},
        {"message", port.Message},
        {"exitCode", ToInt(port.Code)},
        {"seconds", port.Seconds},
    });
  }
  const Json report{
      {"program", "updater-cli"},    {"version", UPDATER_VERSION}, {"command", run.Command},
      {"started", run.Started},      {"seconds", run.Seconds},     {"ports", ports},
      {"exitCode", ToInt(run.Code)},
  };
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
