#include "port_link.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "cli_os.h"
#include "comm_async/queue_notify_target.h"
#include "core/port_core.h"
#include "platform/host.h"

namespace {

// Of a device path, the end that names the temporary image of its port.
constexpr size_t MaxTagLength = 100;

// Each link writes its patched image to a file of its own: several ports at
// once must never program each other's serial numbers.
std::string TemporaryImageFor(const PortName& port) {
  const std::optional<std::string> shared = ::TemporaryImagePath();
  if (!shared) return std::string();
  // The whole path: two devices of the same name in different folders are
  // two ports.
  std::string tag = port.Number != 0 ? "COM" + std::to_string(port.Number) : port.Path;
  if (tag.size() > MaxTagLength) tag.erase(0, tag.size() - MaxTagLength);
  std::replace_if(
      tag.begin(), tag.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  // Beside the shared one, in the same private folder; the path stays UTF-8
  // (a std::filesystem::path would take it in the local code page on Windows).
  const std::string folder = shared->substr(0, shared->find_last_of("/\\") + 1);
  return folder + "tmp-" + tag + "-" + std::to_string(ProcessNumber()) + ".bin";
}

}  // namespace

bool SupportedBaudRate(uint32_t rate) {
  return BaudRateOf(rate).has_value();
}

struct PortLink::Parts {
  explicit Parts(JobObserver& observer) : Core(Target, observer) {}
  QueueNotifyTarget Target;
  PortCore Core;
};

PortLink::PortLink(PortName port, LinkSettings settings, JobObserver& observer)
    : port_(std::move(port)),
      settings_(std::move(settings)),
      parts_(std::make_unique<Parts>(observer)) {
  PortCore& core = parts_->Core;
  TComm& comm = core.Comm();
  // This thread runs the session and has nothing else to do: it waits for
  // the device itself.
  comm.WatchOnOwnThread = true;
  // The session acts on arriving bytes and line errors only: the output
  // queue running empty and the modem lines need not be watched.
  comm.SetEventMask(EventMaskOf(cevRXCHAR) | EventMaskOf(cevERR));
  if (port_.Number != 0) {
    core.SelectPort(port_.Number);
  } else {
    comm.SetDevicePath(port_.Path);
  }
  if (const auto rate = BaudRateOf(settings_.BaudRate)) comm.SetBaudRate(*rate);
  core.Records.FrontEnd = settings_.FrontEnd;
  core.Records.PortLabel = port_.Given;
  core.Records.Store = settings_.Store;
  core.Records.Station = settings_.Station;
  core.Records.Operator = settings_.Operator;
  core.CancelFlag = settings_.Stop;
  Session& session = core.GetSession();
  session.WorkingDirectory = settings_.FilesFolder;
  session.TemporaryImagePath = TemporaryImageFor(port_);
  session.VerifyAfterDownload = settings_.VerifyAfterDownload;
  // --timeout bounds the silence between replies; an erase or a programming
  // still waits at least as long as the flash part may take.
  session.ReplyTimeout = settings_.SilenceLimit;
  session.FormActivate();
}

// The core removes the patched image, however the job ended.
PortLink::~PortLink() = default;

std::string PortLink::DevicePath() const {
  return parts_->Core.Comm().DevicePath();
}

SysError PortLink::OpenError() const {
  return parts_->Core.Comm().LastError();
}

JobResult PortLink::Connect() {
  PortCore& core = parts_->Core;
  return core.RunJob(
      Job::Connect, [&core] { core.Connect(); }, settings_.SilenceLimit);
}

JobResult PortLink::WaitForBoard(const BoardWait& wait,
                                 std::optional<std::chrono::steady_clock::time_point>& answered) {
  // How often a stop is looked for while nothing happens on the line.
  constexpr std::chrono::milliseconds PollPeriod{100};
  PortCore& core = parts_->Core;
  Session& session = core.GetSession();
  session.CancelRequested = wait.Cancel;
  answered.reset();
  bool stopped = false;
  const auto stopRequested = [&] { return wait.Stop && wait.Stop(); };
  const auto note = [&](const std::string& line) {
    if (wait.Note) wait.Note(line);
  };
  // Runs until a loader has answered (the rest of "connect" then runs
  // bounded, as always) or the wait is stopped.
  const auto waitForLoader = [&] {
    bool portMissing = false;
    while (!stopRequested()) {
      session.RepeatStartAfter = wait.Repeat;
      core.Connect();
      if (core.JobRunning() && portMissing) {
        note(port_.Given + ": the port " + DevicePath() + " is back; waiting for a board");
        portMissing = false;
      }
      while (core.JobRunning() && session.AwaitingBoard()) {
        if (stopRequested()) {
          stopped = true;
          core.StartOver();
          return;
        }
        core.Pump(PollPeriod);
        session.Tick(std::chrono::steady_clock::now());
      }
      session.RepeatStartAfter = std::chrono::milliseconds(0);
      if (core.JobRunning() ||
          (core.LastResult() && core.LastResult()->Outcome == JobOutcome::Ok)) {
        answered = std::chrono::steady_clock::now();
        if (wait.Arrived) wait.Arrived();
        return;
      }
      // The port is not there, or it went away while waiting: closed, and
      // tried again once the adapter may be back.
      const std::optional<JobResult>& last = core.LastResult();
      if (last && last->Failure == JobFailure::PortNotOpened) {
        if (!portMissing) note(port_.Given + ": waiting for the port " + DevicePath());
        portMissing = true;
      }
      core.StartOver();
      for (auto waited = std::chrono::milliseconds(0); waited < wait.Repeat && !stopRequested();
           waited += PollPeriod) {
        std::this_thread::sleep_for(PollPeriod);
      }
    }
    stopped = true;
  };
  JobResult result = core.RunJob(Job::Connect, waitForLoader, settings_.SilenceLimit);
  if (stopped && !answered) {
    result = JobResult{};
    result.Outcome = JobOutcome::Refused;
    result.Failure = JobFailure::Cancelled;
    result.Reason = "stopped while waiting for a board";
  }
  return result;
}

JobResult PortLink::ReadIdentity() {
  PortCore& core = parts_->Core;
  return core.RunJob(
      Job::VerifyHardware, [&core] { core.Identify(); }, settings_.SilenceLimit);
}

JobResult PortLink::Download(const ImagePlan& image) {
  PortCore& core = parts_->Core;
  return core.RunJob(
      Job::Download, [&core, &image] { core.Update(image); }, settings_.SilenceLimit);
}

JobResult PortLink::ReadBack(const std::string& destinationPath) {
  PortCore& core = parts_->Core;
  return core.RunJob(
      Job::ReadBack, [&core, &destinationPath] { core.ReadBack(destinationPath); },
      settings_.SilenceLimit);
}

JobResult PortLink::EraseOnly() {
  PortCore& core = parts_->Core;
  return core.RunJob(
      Job::EraseOnly, [&core] { core.EraseOnly(); }, settings_.SilenceLimit);
}

void PortLink::UseIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block) {
  parts_->Core.UseSavedIdentity(identity, block);
}

PortCore& PortLink::Core() {
  return parts_->Core;
}
