#include "port_job.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "core/port_advice.h"

namespace {

using Clock = std::chrono::steady_clock;

// Words of the identity block and of the read-back of sectors 8 and 9.
constexpr int64_t IdentityWords = 2048;
constexpr int64_t ReadBackWords = 65536;

// Passes the session's reports of one port to the console.
class PortObserver : public LinkObserver {
 public:
  PortObserver(Console& console, int slot) : console_(console), slot_(slot) {}
  void Log(std::string_view text) override { console_.DeviceLog(slot_, text); }
  void Progress(Job job, int64_t count, int32_t percent) override {
    console_.Progress(slot_, job, count, percent);
  }
  void Warning(std::string_view text) override { warnings_.emplace_back(text); }
  // The last warning box of the job, which often says best what went wrong.
  std::string LastWarning() const { return warnings_.empty() ? std::string() : warnings_.back(); }

 private:
  Console& console_;
  int slot_;
  std::vector<std::string> warnings_;
};

std::string Hex(int64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*" PRIX64, digits, static_cast<uint64_t>(value));
  return text;
}

// What a person needs to hear about a port that did not open: the cause by
// its name, then what to do. The window's advice points at its setup dialog,
// so the causes that are answered there get the command line's own words.
std::string OpenFailureText(const PortLink& link) {
  const SysError error = link.OpenError();
  const std::string device = link.DevicePath();
  if (!error) return "cannot open " + device;
  const std::string text = "port not opened (" + std::string(CauseName(error.Cause)) + "): ";
  switch (error.Cause) {
    case ErrorCause::NotFound:
      return text + device +
             " does not exist: is the download wire plugged in? \"updater-cli ports\" lists "
             "the serial devices.";
    case ErrorCause::NotSerialDevice:
      return text + device + " is not a serial port; \"updater-cli ports\" lists them.";
    case ErrorCause::SettingsRefused:
      return text + device + " refused the line settings: try another --baud.";
    default:
      return text + PortOpenAdvice(error, device);
  }
}

std::string ReasonOf(const JobResult& result, const std::string& warning) {
  if (!result.Reason.empty()) return result.Reason;
  if (!warning.empty()) return warning;
  return OutcomeName(result.Outcome);
}

Job JobOf(Command command) {
  switch (command) {
    case Command::Update:
      return Job::Download;
    case Command::Erase:
      return Job::EraseOnly;
    case Command::Read:
      return Job::ReadBack;
    case Command::Identify:
      break;
  }
  return Job::VerifyHardware;
}

void AppendToHistory(const PortOutcome& outcome, const PortRequest& request, bool verifyAsked,
                     Console& console) {
  HistoryRecord record;
  record.FrontEnd = "cli";
  record.Job = HistoryJobName(JobOf(request.What)).value_or("identify");
  record.Port = outcome.Port.Given;
  record.DeviceFile = outcome.DeviceFile;
  record.Identity = outcome.IdentityBefore;
  if (request.What == Command::Update && request.Image) {
    record.ImagePath = request.Image->Path;
    record.ImageSha256 = request.Image->Sha256;
  } else if (request.What == Command::Read) {
    record.ImagePath = request.Destination;
    if (outcome.Code == ExitCode::Success) {
      record.ImageSha256 = FileSha256(request.Destination).value_or(std::string());
    }
  }
  TakeJobResult(record, outcome.Result, verifyAsked);
  if (outcome.Code != ExitCode::Success) record.Reason = outcome.Message;
  std::string warning;
  if (!AppendHistory(record, &warning, request.HistoryPath)) {
    console.Error("warning: " + outcome.Port.Given + ": " + warning);
  }
}

}  // namespace

std::string DescribeImage(const ImageIdentity& identity) {
  std::string text = identity.ProductName.empty() ? "(no product name)" : identity.ProductName;
  text += ", hardware " + (identity.HardwareVersion.empty() ? "(none)" : identity.HardwareVersion);
  return text;
}

PortOutcome RunOnPort(const PortName& port, const LinkSettings& settings,
                      const PortRequest& request, Console& console) {
  const Clock::time_point begin = Clock::now();
  PortOutcome outcome;
  outcome.Port = port;
  const int slot = console.AddPort(port.Given);
  PortObserver observer(console, slot);
  PortLink link(port, settings, observer);
  outcome.DeviceFile = link.DevicePath();

  auto phase = [&](const char* name, const std::function<JobResult()>& job) {
    const Clock::time_point start = Clock::now();
    JobResult result = job();
    console.Idle(slot);
    outcome.Phases.push_back({name, std::chrono::duration<double>(Clock::now() - start).count()});
    return result;
  };
  auto finish = [&](const JobResult& result, std::string message) {
    outcome.Result = result;
    outcome.Code = ExitCodeOf(result);
    outcome.Message = std::move(message);
    outcome.Seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return outcome;
  };

  JobResult result = phase("connect", [&] { return link.Connect(); });
  if (result.Outcome != JobOutcome::Ok) {
    if (result.Failure == JobFailure::PortNotOpened) return finish(result, OpenFailureText(link));
    return finish(result, "connect: " + ReasonOf(result, observer.LastWarning()));
  }
  console.Note(port.Given + ": connected on " + outcome.DeviceFile);

  console.SetTotal(slot, Job::VerifyHardware, IdentityWords, "words");
  result = phase("identify", [&] { return link.ReadIdentity(); });
  if (result.HasIdentity) outcome.IdentityBefore = result.Identity;
  if (!link.JobWarning().empty())
    console.Error("warning: " + port.Given + ": " + link.JobWarning());
  const bool identityUnreadable = result.Outcome != JobOutcome::Ok;
  // A device without identity can still be read back or erased.
  const bool identityOptional = request.What == Command::Read || request.What == Command::Erase;
  if (identityUnreadable && result.Failure == JobFailure::NoIdentity && request.KeptIdentity) {
    const SavedIdentity& kept = *request.KeptIdentity;
    link.UseIdentity(kept.Identity, kept.Block);
    outcome.IdentityBefore = kept.Identity;
    outcome.IdentityFromFile = true;
    console.Note(port.Given + ": the device holds no identity; using the one saved at " +
                 kept.Time + " in " + kept.Path);
  } else if (identityUnreadable &&
             !(identityOptional && result.Failure == JobFailure::NoIdentity)) {
    std::string message = "identify: " + ReasonOf(result, observer.LastWarning());
    if (result.Failure == JobFailure::NoIdentity && request.What == Command::Update) {
      // Nothing to check the image against: refused, and the way out named.
      result.Failure = JobFailure::ImageRefused;
      message +=
          "; if an update of it was interrupted, finish it with --identity FILE, one of "
          "the identities kept in " +
          IdentityFolder();
    } else if (result.Failure == JobFailure::NoIdentity) {
      result.Failure = JobFailure::DeviceGarbled;
    }
    return finish(result, message);
  }
  if (outcome.IdentityBefore && !outcome.IdentityFromFile) {
    console.Note(port.Given + ": device " + DescribeIdentity(*outcome.IdentityBefore));
    if (request.KeptIdentity) {
      console.Note(port.Given + ": the device holds its own identity; --identity is not used");
    }
  }

  switch (request.What) {
    case Command::Identify:
      return finish(result, std::string());
    case Command::Update: {
      const ImagePlan& image = *request.Image;
      if (outcome.IdentityBefore) {
        DeviceIdentity written = *outcome.IdentityBefore;
        written.ProductName = image.Identity.ProductName;
        outcome.IdentityWritten = written;
      }
      console.SetTotal(slot, Job::Download, image.Size, "bytes");
      result = phase("download", [&] { return link.Download(image.Path, image.Size); });
      break;
    }
    case Command::Read:
      console.SetTotal(slot, Job::ReadBack, ReadBackWords, "words");
      result = phase("read-back", [&] { return link.ReadBack(request.Destination); });
      break;
    case Command::Erase:
      result = phase("erase", [&] { return link.EraseOnly(); });
      break;
  }

  std::string message;
  const bool verifyAsked = request.What == Command::Update && settings.VerifyAfterDownload;
  HistoryRecord verify;
  TakeJobResult(verify, result, verifyAsked);
  outcome.Verify = verify.Verify;
  if (result.Outcome != JobOutcome::Ok) {
    switch (result.Failure) {
      case JobFailure::ImageRefused:
        message = "image refused: " + ReasonOf(result, observer.LastWarning()) + "; device: " +
                  (outcome.IdentityBefore ? DescribeIdentity(*outcome.IdentityBefore)
                                          : std::string("(unknown)")) +
                  "; image: " + DescribeImage(request.Image->Identity);
        break;
      case JobFailure::VerifyMismatch:
        message = "verify found a difference at " + Hex(result.Address, 6) + ": wrote " +
                  Hex(result.Written, 2) + ", read " + Hex(result.Read, 2);
        if (result.Sector >= 0) message += " (sector " + std::to_string(result.Sector) + ")";
        break;
      case JobFailure::ProgrammingFailed:
        message = result.Sector >= 0
                      ? "programming failed in sector " + std::to_string(result.Sector)
                      : "programming failed: " + ReasonOf(result, observer.LastWarning());
        break;
      default:
        message = HistoryJobName(JobOf(request.What)).value_or("identify") + ": " +
                  ReasonOf(result, observer.LastWarning());
        if (request.What == Command::Read && result.Failure == JobFailure::FileError) {
          message += " (" + request.Destination + ")";
        }
        break;
    }
  }
  finish(result, message);
  if (request.RecordHistory) AppendToHistory(outcome, request, verifyAsked, console);
  return outcome;
}
