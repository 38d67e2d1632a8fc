#include "port_core.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>

#include "comm_async/serial_ports.h"
#include "line_settings.h"
#include "platform/file_search.h"
#include "platform/host.h"
#include "platform/seq_file.h"
#include "store/record_store.h"
#include "updater_version.h"

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

RecordJob RecordJobOf(Job job) {
  switch (job) {
    case Job::Connect:
      return RecordJob::Connect;
    case Job::VerifyHardware:
      return RecordJob::Identify;
    case Job::Download:
      return RecordJob::Update;
    case Job::ReadBack:
      return RecordJob::ReadBack;
    case Job::EraseOnly:
      return RecordJob::Erase;
  }
  return RecordJob::Connect;
}

std::optional<RecordPhase> RecordPhaseOf(JobPhase phase) {
  switch (phase) {
    case JobPhase::Connect:
      return RecordPhase::Connect;
    case JobPhase::Identify:
      return RecordPhase::Identify;
    case JobPhase::Erase:
      return RecordPhase::Erase;
    case JobPhase::Program:
      return RecordPhase::Program;
    case JobPhase::Verify:
      return RecordPhase::Verify;
    case JobPhase::Read:
      break;
  }
  return std::nullopt;
}

// The phase a job is as a whole, where it is one.
std::optional<RecordPhase> WholeJobPhase(Job job) {
  if (job == Job::Connect) return RecordPhase::Connect;
  if (job == Job::VerifyHardware) return RecordPhase::Identify;
  return std::nullopt;
}

// The adapter behind a device file, when it is one the system lists (a USB
// adapter with a by-id name); a pseudo-terminal or a missing file has none.
void FindAdapter(const std::string& deviceFile, JobRecord& record) {
  if (deviceFile.rfind("/dev/", 0) != 0 || deviceFile.rfind("/dev/pts/", 0) == 0) return;
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(deviceFile, error);
  if (error) return;
  for (const SerialPortInfo& info : ListSerialPorts()) {
    std::error_code other;
    if (std::filesystem::canonical(info.Path, other) != real || other) continue;
    record.AdapterName = info.ById;
    record.AdapterSerial = info.SerialNumber;
    return;
  }
}

}  // namespace

const char* CauseWord(JobFailure failure) {
  switch (failure) {
    case JobFailure::None:
      return "";
    case JobFailure::PortNotOpened:
      return "port-not-opened";
    case JobFailure::DeviceSilent:
      return "device-silent";
    case JobFailure::DeviceGarbled:
      return "device-garbled";
    case JobFailure::NoIdentity:
      return "no-identity";
    case JobFailure::ImageRefused:
      return "image-refused";
    case JobFailure::ProgrammingFailed:
      return "programming-failed";
    case JobFailure::VerifyMismatch:
      return "verify-mismatch";
    case JobFailure::FileError:
      return "file-error";
    case JobFailure::NotReady:
      return "not-ready";
    case JobFailure::Cancelled:
      return "cancelled";
  }
  return "";
}

RecordOutcome RecordOutcomeOf(const JobResult& result) {
  if (result.Failure == JobFailure::Cancelled) return RecordOutcome::Cancelled;
  switch (result.Outcome) {
    case JobOutcome::Ok:
      return RecordOutcome::Ok;
    case JobOutcome::Failed:
      return RecordOutcome::Failed;
    case JobOutcome::Refused:
      return RecordOutcome::Refused;
  }
  return RecordOutcome::Failed;
}

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

void PortCore::BeginOperation(RecordJob job) {
  operation_ = JobRecord{};
  operation_->Job = job;
  operation_->Started = std::chrono::system_clock::now();
}

JobRecord PortCore::EndOperation() {
  JobRecord record = operation_.value_or(JobRecord{});
  operation_.reset();
  Keep(record);
  return record;
}

void PortCore::UseSavedIdentity(const DeviceIdentity& identity, std::span<const uint8_t> block) {
  session_->UseIdentity(identity, block);
  JobRecord& record = CurrentRecord();
  record.IdentityBefore = identity;
  record.Source = IdentitySource::Saved;
}

void PortCore::JobStarted(Job job) {
  JobContext context = std::exchange(next_, JobContext{});
  context.Kind = job;
  context.Started = std::chrono::system_clock::now();
  if (!session_->Identity().ProductName.empty()) context.Identity = session_->Identity();
  if (open_.empty()) {
    // A new connection: what the port knew of the board is gone.
    if (job == Job::Connect) connection_ = JobRecord{};
    if (!operation_) {
      job_ = connection_;
      job_->Uuid = NewUuid();
      job_->Job = RecordJobOf(job);
      job_->Started = context.Started;
      // Only the connection's own phases go on; each job has its own others.
      for (const RecordPhase phase :
           {RecordPhase::Erase, RecordPhase::Program, RecordPhase::Verify})
        job_->Phase(phase) = PhaseSpan{};
    }
    lastPhase_.reset();
    if (const auto phase = WholeJobPhase(job)) Target().Phase(*phase) = {context.Started, {}};
  }
  open_.push_back(std::move(context));
  ++running_;
  observer_.JobStarted(job);
}

void PortCore::Progress(const JobProgress& progress) {
  if (open_.size() == 1) {
    if (const auto phase = RecordPhaseOf(progress.Phase)) {
      PhaseSpan& span = Target().Phase(*phase);
      const RecordTime now = std::chrono::system_clock::now();
      if (!span.Started) span.Started = now;
      span.Ended = now;
      lastPhase_ = progress.Phase;
    }
  }
  observer_.Progress(progress);
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
  // A start refused while another job runs is no job of its own.
  if (context.Kind == job && open_.empty()) {
    JobRecord& record = Target();
    TakeIntoRecord(record, context, result);
    if (!operation_ && job_) {
      // The connection's phases and identity carry on to the jobs that follow.
      if (const auto phase = WholeJobPhase(job)) connection_.Phase(*phase) = record.Phase(*phase);
      if (job == Job::VerifyHardware) {
        connection_.IdentityBefore = record.IdentityBefore;
        connection_.Source = record.Source;
      }
      JobRecord own = std::move(*job_);
      job_.reset();
      Keep(own);
    }
  }
  observer_.JobFinished(job, result);
}

JobRecord& PortCore::Target() {
  if (operation_) return *operation_;
  if (job_) return *job_;
  return connection_;
}

void PortCore::KeepIdentity(const JobResult& result) {
  if (!result.HasIdentity || result.Outcome != JobOutcome::Ok || !Records.Store) return;
  const auto& area = session_->IdentityArea();
  const std::vector<uint8_t> block(area.begin(), area.begin() + IdentityBlockBytes);
  for (const std::string& warning :
       Records.Store->SaveIdentity(result.Identity, block, PortLabel()))
    observer_.HostWarning(warning);
}

void PortCore::TakeIntoRecord(JobRecord& record, const JobContext& context,
                              const JobResult& result) {
  const RecordTime now = std::chrono::system_clock::now();
  if (const auto phase = WholeJobPhase(context.Kind)) {
    record.Phase(*phase).Ended = now;
  } else if (lastPhase_) {
    if (const auto last = RecordPhaseOf(*lastPhase_)) record.Phase(*last).Ended = now;
  }
  switch (context.Kind) {
    case Job::Connect:
      break;
    case Job::VerifyHardware:
      if (result.HasIdentity && result.Outcome == JobOutcome::Ok) {
        record.IdentityBefore = result.Identity;
        record.Source = IdentitySource::Device;
      }
      break;
    case Job::Download:
      if (context.Image) {
        const ImagePlan& plan = *context.Image;
        RecordImage image;
        image.Path = plan.AbsolutePath.empty() ? plan.Path : plan.AbsolutePath;
        image.Size = plan.Size;
        image.Sha256 = plan.Sha256;
        image.ProductName = plan.Identity.ProductName;
        image.HardwareVersion = plan.Identity.HardwareVersion;
        image.FirmwareVersion = plan.Identity.FirmwareVersion;
        image.Sectors.assign(plan.Sectors.begin(), plan.Sectors.end());
        record.Image = std::move(image);
        if (!record.IdentityBefore && context.Identity) {
          record.IdentityBefore = context.Identity;
          if (record.Source == IdentitySource::None) record.Source = IdentitySource::Device;
        }
        // What the patch puts into the image: the board's own values under
        // the image's product name.
        if (record.IdentityBefore && result.Outcome != JobOutcome::Refused) {
          DeviceIdentity written = *record.IdentityBefore;
          written.ProductName = plan.Identity.ProductName;
          record.IdentityWritten = written;
        }
      }
      if (context.VerifyAsked && result.Outcome == JobOutcome::Ok) {
        record.Verify = VerifyState::Passed;
      }
      if (result.Failure == JobFailure::DeviceGarbled &&
          record.Phase(RecordPhase::Verify).Started) {
        record.Verify = VerifyState::LineLost;
      }
      if (result.Failure == JobFailure::VerifyMismatch) {
        record.Verify = VerifyState::Mismatch;
        record.VerifyAddress = result.Address;
        record.VerifyWritten = result.Written;
        record.VerifyRead = result.Read;
        record.VerifySector = result.Sector;
      }
      break;
    case Job::ReadBack:
      if (result.Outcome == JobOutcome::Ok) {
        RecordImage file;
        std::error_code error;
        const std::filesystem::path absolute =
            std::filesystem::absolute(context.Destination, error);
        file.Path = error ? context.Destination : absolute.string();
        file.Size = static_cast<int64_t>(std::filesystem::file_size(context.Destination, error));
        if (error) file.Size = 0;
        file.Sha256 = FileSha256(context.Destination).value_or(std::string());
        record.Image = std::move(file);
      }
      break;
    case Job::EraseOnly:
      break;
  }
  record.FlashTouched = record.FlashTouched || result.FlashTouched;
  record.Outcome = RecordOutcomeOf(result);
  record.FailureCause = CauseWord(result.Failure);
  record.FailureReason = result.Outcome == JobOutcome::Ok ? std::string() : result.Reason;
}

void PortCore::Keep(JobRecord& record) {
  record.Host = DefaultStation();
  record.Station = Records.Station.empty() ? record.Host : Records.Station;
  record.Operator = Records.Operator.empty() ? DefaultOperator() : Records.Operator;
  record.ProgramVersion = UPDATER_VERSION;
  record.FrontEnd = Records.FrontEnd;
  record.Port = PortLabel();
  record.DeviceFile = comm_.DevicePath();
  FindAdapter(record.DeviceFile, record);
  record.Ended = std::chrono::system_clock::now();
  if (record.Started == RecordTime{}) record.Started = record.Ended;
  if (!Records.Store) return;
  for (const std::string& warning : Records.Store->Record(record)) observer_.HostWarning(warning);
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
    if (CancelFlag && CancelFlag->load() != 0) {
      session_->Cancel("the program was interrupted");
      break;
    }
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
