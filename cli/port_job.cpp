#include "port_job.h"

#include <chrono>
#include <functional>

#include "core/port_advice.h"
#include "core/port_core.h"
#include "firmware/hex_text.h"
#include "store/record_store.h"

namespace {

using Clock = std::chrono::steady_clock;

// Passes what the jobs of one port report to the console.
class PortObserver : public JobObserver {
 public:
  PortObserver(Console& console, int slot, std::string port)
      : console_(console), slot_(slot), port_(std::move(port)) {}
  void LogWrite(std::string_view text) override { console_.DeviceLog(slot_, text); }
  void Progress(const JobProgress& progress) override {
    if (progress.Phase != phase_ || !phaseSeen_) {
      phaseSeen_ = true;
      phase_ = progress.Phase;
      console_.SetTotal(slot_, progress.Of, progress.Total, progress.Unit);
    }
    const int32_t percent =
        progress.Total > 0 ? static_cast<int32_t>(progress.Count * 100 / progress.Total) : 0;
    console_.Progress(slot_, progress.Of, progress.Count, percent);
  }
  void Warning(std::string_view text) override { warnings_.emplace_back(text); }
  void HostWarning(std::string_view text) override {
    console_.Error("warning: " + port_ + ": " + std::string(text));
  }
  void JobStarted(Job /*job*/) override { phaseSeen_ = false; }
  void SectorProgramming(int32_t sector, uint32_t start, uint32_t end) override {
    if (sectorProgramming_) sectorProgramming_(sector, start, end);
  }
  std::function<void(int32_t, uint32_t, uint32_t)> sectorProgramming_;
  // The last warning box of the job, which often says best what went wrong.
  std::string LastWarning() const { return warnings_.empty() ? std::string() : warnings_.back(); }

 private:
  Console& console_;
  int slot_;
  std::string port_;
  bool phaseSeen_ = false;
  JobPhase phase_ = JobPhase::Connect;
  std::vector<std::string> warnings_;
};

std::string Hex(int64_t value, int digits) {
  return HexText(static_cast<uint64_t>(value), digits);
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

RecordJob RecordJobOf(Command command) {
  switch (command) {
    case Command::Update:
      return RecordJob::Update;
    case Command::Erase:
      return RecordJob::Erase;
    case Command::Read:
      return RecordJob::ReadBack;
    case Command::Identify:
      break;
  }
  return RecordJob::Identify;
}

JobResult Refusal(JobFailure failure, std::string reason) {
  JobResult result;
  result.Outcome = JobOutcome::Refused;
  result.Failure = failure;
  result.Reason = std::move(reason);
  return result;
}

// Whether a saved identity may go into this board: only while the last
// update of its serial number is unfinished, so that no two boards carry it.
// Empty when it may; else why not.
std::string IdentityRefusal(const SavedIdentity& kept, const LinkSettings& settings) {
  const DeviceIdentity& identity = kept.Identity;
  if (!identity.SerialNumberFound) {
    return "--identity refused: the identity in " + kept.Path +
           " has no serial number, so nothing tells whether a board carries it already";
  }
  if (!settings.Store) {
    return "--identity refused: the record store is not open, so nothing tells whether serial " +
           std::to_string(identity.SerialNumber) + " finished an update since";
  }
  const FinishCheck check =
      settings.Store->CanFinishWith(identity.ProductName, identity.SerialNumber);
  if (check.Allowed()) return {};
  return "--identity refused: " + check.Reason;
}

}  // namespace

int StopExitCode(int signal) {
  return 128 + signal;
}

PortOutcome RunOnPort(const PortName& port, const LinkSettings& settings,
                      const PortRequest& request, Console& console) {
  const Clock::time_point begin = Clock::now();
  PortOutcome outcome;
  outcome.Port = port;
  const int slot = console.AddPort(port.Given);
  PortObserver observer(console, slot, port.Given);
  observer.sectorProgramming_ = request.SectorProgramming;
  PortLink link(port, settings, observer);
  outcome.DeviceFile = link.DevicePath();
  PortCore& core = link.Core();
  core.BeginOperation(RecordJobOf(request.What));
  auto stopSignal = [&] { return settings.Stop ? settings.Stop->load() : 0; };

  auto phase = [&](const char* name, const std::function<JobResult()>& job) {
    // Once the run is stopped no job starts: none may erase after it.
    if (stopSignal() != 0) {
      JobResult stopped = Refusal(JobFailure::Cancelled, "the program was interrupted");
      if (core.LastResult() && core.LastResult()->FlashTouched) stopped.FlashTouched = true;
      return stopped;
    }
    (void)name;
    JobResult result = job();
    console.Idle(slot);
    return result;
  };
  // The port's end: the operator's line, the exit code and the board's
  // record, kept in the store before the port is given up.
  auto finish = [&](const JobResult& result, std::string message) {
    // "COM1" stands for a device file: a line about the port names it.
    if (port.Number != 0 && !message.empty() &&
        message.find(outcome.DeviceFile) == std::string::npos) {
      message += "; " + port.Given + " is " + outcome.DeviceFile;
    }
    outcome.Result = result;
    outcome.Code = ExitCodeOf(result);
    if (result.Failure == JobFailure::Cancelled && stopSignal() != 0) {
      outcome.Code = static_cast<ExitCode>(StopExitCode(stopSignal()));
    }
    outcome.Message = std::move(message);
    JobRecord& record = core.CurrentRecord();
    record.Outcome = result.Outcome == JobOutcome::Ok ? RecordOutcome::Ok : RecordOutcomeOf(result);
    record.FailureCause =
        CauseWord(result.Outcome == JobOutcome::Ok ? JobFailure::None : result.Failure);
    record.FailureReason = outcome.Message;
    record.ExitCode = ToInt(outcome.Code);
    // A station's wait that no board ended, or a board it leaves as it is,
    // did nothing worth a record.
    if (request.Wait && (!outcome.BoardAnswered || outcome.Skipped)) {
      outcome.Record = core.CurrentRecord();
      core.DropOperation();
    } else {
      outcome.Record = core.EndOperation();
    }
    outcome.Seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return outcome;
  };

  JobResult result = phase("connect", [&] {
    return request.Wait ? link.WaitForBoard(*request.Wait, outcome.BoardAnswered) : link.Connect();
  });
  if (result.Outcome != JobOutcome::Ok) {
    if (request.Wait && !outcome.BoardAnswered) return finish(result, "stopped");
    if (result.Failure == JobFailure::PortNotOpened) return finish(result, OpenFailureText(link));
    return finish(result, "connect: " + ReasonOf(result, observer.LastWarning()));
  }
  console.Note(port.Given + ": connected on " + outcome.DeviceFile);

  result = phase("identify", [&] { return link.ReadIdentity(); });
  if (result.HasIdentity) outcome.IdentityBefore = result.Identity;
  const bool identityUnreadable = result.Outcome != JobOutcome::Ok;
  // A device without identity can still be read back or erased.
  const bool identityOptional = request.What == Command::Read || request.What == Command::Erase;
  if (request.Screen && (!identityUnreadable || result.Failure == JobFailure::NoIdentity)) {
    const std::optional<DeviceIdentity> found =
        identityUnreadable ? std::nullopt : std::optional<DeviceIdentity>(result.Identity);
    BoardVerdict verdict = request.Screen(found);
    if (verdict.What == BoardVerdict::Action::Skip) {
      outcome.Skipped = true;
      result = JobResult{};
      result.HasIdentity = found.has_value();
      if (found) result.Identity = *found;
      return finish(result, std::string());
    }
    if (verdict.What == BoardVerdict::Action::Refuse) {
      result = JobResult{};
      result.Outcome = JobOutcome::Refused;
      result.Failure = JobFailure::ImageRefused;
      result.Reason = verdict.Why;
      return finish(result, "board refused: " + verdict.Why);
    }
    if (identityUnreadable && verdict.NewIdentity) {
      link.UseIdentity(*verdict.NewIdentity, {});
      outcome.IdentityWritten = *verdict.NewIdentity;
      outcome.NewIdentity = true;
      console.Note(port.Given + ": a new board: it gets " + DescribeIdentity(*verdict.NewIdentity));
    }
  }
  if (outcome.NewIdentity) {
    // The identity of the station's counter stands in for the one the
    // board does not have.
  } else if (identityUnreadable && result.Failure == JobFailure::NoIdentity &&
             request.KeptIdentity) {
    const SavedIdentity& kept = *request.KeptIdentity;
    const std::string refusal = IdentityRefusal(kept, settings);
    if (!refusal.empty() && !request.ForceIdentity) {
      return finish(Refusal(JobFailure::ImageRefused, refusal),
                    refusal + "; nothing was erased (--force-identity overrides)");
    }
    link.UseIdentity(kept.Identity, kept.Block);
    if (!refusal.empty()) {
      core.CurrentRecord().ForcedIdentity = true;
      console.Note(port.Given + ": " + refusal + "; used all the same (--force-identity)");
    }
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
          "; if an update of it was interrupted, finish it with --identity SERIAL (the "
          "identity the record store keeps for that serial number) or --identity FILE";
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
      result = phase("download", [&] { return link.Download(image); });
      break;
    }
    case Command::Read:
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
  if (result.Failure == JobFailure::Cancelled) {
    message = HistoryJobName(JobOf(request.What)).value_or("identify") +
              ": cancelled: " + ReasonOf(result, observer.LastWarning()) +
              (result.FlashTouched ? "; the flash was already changed: finish the update"
                                   : std::string());
    return finish(result, message);
  }
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
  return finish(result, message);
}
