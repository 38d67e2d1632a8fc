#include "port_link.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "cli_os.h"
#include "platform/host.h"
#include "core/port_core.h"
#include "comm_async/queue_notify_target.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The session's clock is wound this often while the link waits.
constexpr auto TickPeriod = 100ms;
// A job may take this much longer than its bytes need on the line, and this
// much more for erasing sectors and the device's own pauses.
constexpr int LineTimeFactor = 3;
constexpr auto JobAllowance = 120s;
constexpr double BitsPerByte = 10;  // 8N1
// Words of the identity block and of the read-back of sectors 8 and 9; each
// word goes back and forth with its "3" and "g".
constexpr int64_t IdentityLineBytes = 2048 * 4;
constexpr int64_t ReadBackLineBytes = 65536 * 4;
// Loader and flash routine together stay well below this.
constexpr int64_t ConnectLineBytes = 16384;
constexpr int64_t EraseOnlyLineBytes = 2 * 65536;

// Of a device path, the end that names the temporary image of its port.
constexpr size_t MaxTagLength = 100;

constexpr std::array<uint32_t, 15> BaudRates = {110,   300,   600,    1200,   2400,
                                                4800,  9600,  14400,  19200,  38400,
                                                56000, 57600, 115200, 128000, 256000};

// The session's window, as a command line sees it: no widgets, only the
// reports that matter to a script and the answers to its questions.
class CliWindow : public WidgetlessWindow {
 public:
  explicit CliWindow(LinkObserver& observer) : observer_(observer) {}

  std::optional<std::string> ImageAnswer;
  std::optional<std::string> DestinationAnswer;
  std::optional<Job> Running;
  std::optional<JobResult> Finished;

  void LogWrite(std::string_view text) override { observer_.Log(text); }
  void SetPanelCount(int32_t count) override {
    count_ = count;
    Report();
  }
  void SetProgress(int32_t percent) override {
    percent_ = percent;
    Report();
  }
  void ShowWarning(std::string_view text) override { observer_.Warning(text); }
  std::optional<std::string> RunFileDialog(FileDialog dialog) override {
    return dialog == FileDialog::OpenDialog3 ? ImageAnswer : DestinationAnswer;
  }
  // The command line asks its questions before a job starts (erase asks
  // unless --yes): what the session asks then is already answered.
  bool Confirm(std::string_view /*question*/) override { return true; }
  void JobStarted(Job job) override {
    Running = job;
    count_ = 0;
    percent_ = 0;
  }
  void JobFinished(Job /*job*/, const JobResult& result) override {
    Running.reset();
    Finished = result;
  }

 private:
  void Report() {
    if (Running) observer_.Progress(*Running, count_, percent_);
  }

  LinkObserver& observer_;
  int64_t count_ = 0;
  int32_t percent_ = 0;
};

JobResult Failure(JobFailure failure, std::string reason) {
  JobResult result;
  result.Outcome = JobOutcome::Failed;
  result.Failure = failure;
  result.Reason = std::move(reason);
  return result;
}

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
  return std::find(BaudRates.begin(), BaudRates.end(), rate) != BaudRates.end();
}

struct PortLink::Parts {
  explicit Parts(LinkObserver& observer) : Window(observer) {}
  QueueNotifyTarget Target;
  CliWindow Window;
  PortCore Core{Target, Window};
};

PortLink::PortLink(PortName port, LinkSettings settings, LinkObserver& observer)
    : port_(std::move(port)),
      settings_(std::move(settings)),
      parts_(std::make_unique<Parts>(observer)) {
  TComm& comm = parts_->Core.Comm();
  // This thread runs the session and has nothing else to do: it waits for
  // the device itself.
  comm.WatchOnOwnThread = true;
  // The session acts on arriving bytes and line errors only: the output
  // queue running empty and the modem lines need not be watched.
  comm.SetEventMask(EventMaskOf(cevRXCHAR) | EventMaskOf(cevERR));
  if (port_.Number != 0) {
    parts_->Core.SelectPort(port_.Number);
  } else {
    comm.SetDevicePath(port_.Path);
  }
  const auto rate = std::find(BaudRates.begin(), BaudRates.end(), settings_.BaudRate);
  if (rate != BaudRates.end()) comm.SetBaudRate(static_cast<TBaudRate>(rate - BaudRates.begin()));
  Session& session = parts_->Core.GetSession();
  session.WorkingDirectory = settings_.FilesFolder;
  session.TemporaryImagePath = TemporaryImageFor(port_);
  session.VerifyAfterDownload = settings_.VerifyAfterDownload;
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

JobResult PortLink::Run(Job job, const std::function<void()>& start, int64_t lineBytes) {
  CliWindow& window = parts_->Window;
  Session& session = parts_->Core.GetSession();
  window.Finished.reset();
  jobWarning_.clear();
  const auto lineTime = std::chrono::milliseconds(static_cast<int64_t>(
      static_cast<double>(lineBytes) * BitsPerByte * 1000 / settings_.BaudRate));
  const Clock::time_point deadline = Clock::now() + LineTimeFactor * lineTime + JobAllowance;
  Clock::time_point lastHeard = Clock::now();
  start();
  while (!window.Finished) {
    const bool delivered = parts_->Core.Comm().WatchOnce(TickPeriod);
    const Clock::time_point now = Clock::now();
    session.Tick(now);
    if (window.Finished) break;
    if (delivered) lastHeard = now;
    if (now - lastHeard > settings_.SilenceLimit) {
      return Failure(JobFailure::DeviceSilent,
                     std::string("the device did not answer for ") +
                         std::to_string(settings_.SilenceLimit.count() / 1000) + " s during " +
                         JobName(job));
    }
    if (now > deadline) {
      return Failure(JobFailure::DeviceSilent,
                     std::string(JobName(job)) + " took longer than its bytes can need");
    }
  }
  // Every job's end goes through the core: an identity read is kept on this
  // machine there.
  jobWarning_ = parts_->Core.NoteJobFinished(job, *window.Finished);
  return *window.Finished;
}

void PortLink::UseIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block) {
  parts_->Core.GetSession().UseIdentity(identity, block);
}

void PortLink::Start(void (Session::*handler)()) {
  Session& session = parts_->Core.GetSession();
  parts_->Core.RunPass([&session, handler] { (session.*handler)(); });
}

JobResult PortLink::Connect() {
  return Run(
      Job::Connect, [this] { Start(&Session::Button3Click); }, ConnectLineBytes);
}

JobResult PortLink::ReadIdentity() {
  return Run(
      Job::VerifyHardware, [this] { Start(&Session::Button6Click); }, IdentityLineBytes);
}

JobResult PortLink::Download(const std::string& imagePath, int64_t expectedBytes) {
  parts_->Window.ImageAnswer = imagePath;
  // The image goes out once and, with the verify, comes back once.
  const int64_t lineBytes = expectedBytes * (settings_.VerifyAfterDownload ? 3 : 1);
  return Run(
      Job::Download, [this] { Start(&Session::Button4Click); }, lineBytes);
}

JobResult PortLink::ReadBack(const std::string& destinationPath) {
  parts_->Window.DestinationAnswer = destinationPath;
  return Run(
      Job::ReadBack, [this] { Start(&Session::Button11Click); }, ReadBackLineBytes);
}

JobResult PortLink::EraseOnly() {
  return Run(
      Job::EraseOnly, [this] { Start(&Session::Button7Click); }, EraseOnlyLineBytes);
}
