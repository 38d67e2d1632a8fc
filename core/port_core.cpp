#include "port_core.h"

#include <algorithm>
#include <string>
#include <utility>

#include "identity_store.h"
#include "line_settings.h"
#include "platform/file_search.h"
#include "platform/host.h"
#include "platform/seq_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The session's clock is wound this often while a job is waited for.
constexpr auto TickPeriod = 100ms;
// A job may take this much longer than its bytes need on the line, and this
// much more for the device's own pauses.
constexpr int LineTimeFactor = 3;
constexpr auto JobAllowance = 120s;
constexpr double BitsPerByte = 10;  // 8N1
// Loader and flash routine together stay well below this.
constexpr int64_t ConnectLineBytes = 16384;
// Each word of a read goes back and forth with its "3" and "g".
constexpr int64_t LineBytesPerWord = 4;

}  // namespace

PortCore::PortCore(NotifyTarget& notifyWindow, JobObserver& observer, WidgetView* view)
    : comm_(notifyWindow), port_(comm_), observer_(observer) {
  LoadComm1Configuration(comm_);
  // The session hands the thread back every 50 ms, bytes waiting or not: the
  // component tells it again about the bytes it left.
  comm_.NotifyAgainForUnreadBytes = true;
  session_ = std::make_unique<Session>(port_, static_cast<JobObserver&>(*this), view);
  session_->TemporaryImagePath = ::TemporaryImagePath().value_or(std::string());
  session_->ProgramFolder = ::ProgramFolder();
  comm_.OnCommEvent = [this](TComm*, uint32_t events, uint32_t state) {
    session_->Comm1CommEvent(events, state);
  };
  comm_.OnCharReceived = [this](TComm*, uint32_t cbInQue) { session_->Comm1CharReceived(cbInQue); };
  comm_.OnCommError = [this](TComm*, uint32_t errorCode) { session_->Comm1CommError(errorCode); };
}

PortCore::~PortCore() {
  session_->Shutdown();
  comm_.Close();
  // The patched image carries the device's serial number: it is not left
  // behind, however the program ends.
  if (!session_->TemporaryImagePath.empty()) SeqFile::Erase(session_->TemporaryImagePath);
}

std::string PortCore::PortLabel() const {
  if (!Records.PortLabel.empty()) return Records.PortLabel;
  return "COM" + std::to_string(comm_.Port());
}

void PortCore::Connect() {
  next_ = JobContext{};
  session_->StartConnect();
}

void PortCore::Identify() {
  next_ = JobContext{};
  session_->StartIdentify();
}

void PortCore::Update(const ImagePlan& image) {
  next_ = JobContext{};
  next_.Image = image;
  next_.Image->Bytes.clear();
  next_.Image->Bytes.shrink_to_fit();
  next_.VerifyAsked = session_->VerifyAfterDownload;
  session_->StartUpdate(image);
}

void PortCore::ReadBack(const std::string& destination) {
  next_ = JobContext{};
  next_.Destination = destination;
  session_->StartReadBack(destination);
}

void PortCore::EraseOnly() {
  next_ = JobContext{};
  session_->StartEraseOnly();
}

void PortCore::StartOver() {
  session_->StartOver();
  comm_.Close();
}

void PortCore::JobStarted(Job job) {
  JobContext context = std::exchange(next_, JobContext{});
  context.Kind = job;
  context.Started = std::chrono::system_clock::now();
  if (!session_->Identity().ProductName.empty()) context.Identity = session_->Identity();
  open_.push_back(std::move(context));
  ++running_;
  observer_.JobStarted(job);
}

void PortCore::JobFinished(Job job, const JobResult& result) {
  JobContext context;
  if (!open_.empty()) {
    context = std::move(open_.back());
    open_.pop_back();
  }
  running_ = std::max(0, running_ - 1);
  lastResult_ = result;
  KeepIdentity(result);
  if (context.Kind == job) Record(context, result);
  observer_.JobFinished(job, result);
}

void PortCore::KeepIdentity(const JobResult& result) {
  if (!result.HasIdentity || result.Outcome != JobOutcome::Ok) return;
  const auto& area = session_->IdentityArea();
  const std::vector<uint8_t> block(area.begin(), area.begin() + IdentityBlockBytes);
  std::string why;
  if (SaveIdentity(result.Identity, block, &why, Records.IdentityFolder)) return;
  observer_.HostWarning("the device's identity could not be kept on this machine: " + why);
}

void PortCore::Record(const JobContext& context, const JobResult& result) {
  if (!Records.RecordHistory || !HistoryJobName(context.Kind)) return;
  HistoryRecord record = MakeHistoryRecord(
      Records.FrontEnd, PortLabel(), comm_.DevicePath(), context.Kind, context.Identity,
      context.Image ? &*context.Image : nullptr, context.Destination, result, context.VerifyAsked);
  record.Time = context.Started;
  std::string warning;
  if (!AppendHistory(record, &warning, Records.HistoryPath)) observer_.HostWarning(warning);
}

HistoryRecord MakeHistoryRecord(const std::string& frontEnd, const std::string& port,
                                const std::string& deviceFile, Job job,
                                const std::optional<DeviceIdentity>& identity,
                                const ImagePlan* image, const std::string& destination,
                                const JobResult& result, bool verifyAsked) {
  HistoryRecord record;
  record.FrontEnd = frontEnd;
  record.Job = HistoryJobName(job).value_or(JobName(job));
  record.Port = port;
  record.DeviceFile = deviceFile;
  record.Identity = identity;
  if (job == Job::Download && image != nullptr) {
    record.ImagePath = image->Path;
    record.ImageSha256 = image->Sha256;
  } else if (job == Job::ReadBack) {
    record.ImagePath = destination;
    if (result.Outcome == JobOutcome::Ok) {
      record.ImageSha256 = FileSha256(destination).value_or(std::string());
    }
  }
  TakeJobResult(record, result, verifyAsked && job == Job::Download);
  return record;
}

int64_t PortCore::LineBytes(Job job) const {
  const FlashPart& part = session_->Part;
  switch (job) {
    case Job::Connect:
      return ConnectLineBytes;
    case Job::VerifyHardware:
      return IdentityBlockBytes / 2 * LineBytesPerWord;
    case Job::ReadBack:
      return part.ServiceBytes() / 2 * LineBytesPerWord;
    case Job::EraseOnly:
      return part.ServiceBytes();
    case Job::Download: {
      const int64_t image = open_.empty() || !open_.back().Image ? int64_t{part.LargeSectorBytes}
                                                                 : open_.back().Image->Size;
      // The image goes out once and, with the verify, comes back once.
      return image * (session_->VerifyAfterDownload ? 3 : 1);
    }
  }
  return ConnectLineBytes;
}

bool PortCore::Pump(std::chrono::milliseconds timeout) {
  if (session_->ContinuePending()) {
    session_->Continue();
    return true;
  }
  return comm_.WatchOnce(timeout);
}

JobResult PortCore::RunJob(Job job, const std::function<void()>& start,
                           std::chrono::milliseconds silence) {
  lastResult_.reset();
  const uint32_t rate = std::max<uint32_t>(comm_.GetDcb().BaudRate, 1);
  start();
  if (!JobRunning()) return lastResult_.value_or(JobResult{});
  // Every second of the part's own erase and programming maxima counts too.
  std::chrono::milliseconds flashTime{0};
  if (job == Job::Download || job == Job::EraseOnly) {
    const FlashPart& part = session_->Part;
    for (int32_t sector = 0; sector < part.SectorCount(); ++sector) {
      if (session_->SectorSelected()[static_cast<size_t>(sector)] == 1) {
        flashTime += part.EraseBound(sector) + part.ProgramBound(sector);
      }
    }
  }
  const auto lineTime = std::chrono::milliseconds(
      static_cast<int64_t>(static_cast<double>(LineBytes(job)) * BitsPerByte * 1000 / rate));
  const Clock::time_point deadline =
      Clock::now() + LineTimeFactor * lineTime + flashTime + JobAllowance;
  Clock::time_point lastHeard = Clock::now();
  while (JobRunning()) {
    const bool delivered = Pump(TickPeriod);
    const Clock::time_point now = Clock::now();
    session_->Tick(now);
    if (!JobRunning()) break;
    if (delivered) lastHeard = now;
    // A silence limit shorter than what the device may need (a sector
    // erase) never cuts that short.
    const auto limit = std::max(silence, session_->SilenceBound());
    if (now - lastHeard > limit) {
      session_->GiveUp(
          std::string("the device did not answer for ") +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
          " s during " + JobName(job));
    } else if (now > deadline) {
      session_->GiveUp(std::string(JobName(job)) + " took longer than its bytes can need");
    }
  }
  return lastResult_.value_or(JobResult{});
}
