// One port as every front end uses it: the serial component TComm with its
// line settings, the session, and the jobs as calls. A front end calls a job
// with what it needs (the image plan, the destination) and hears, through
// its JobObserver, the log, the progress and exactly one JobResult; the core
// keeps the identity a job read and writes the job's record itself.
//
// The window creates one on the window thread; the command line creates one
// per port, each on its own thread; tests and the benchmark create them like
// the command line does. Nothing here knows Qt: the notify target (the
// hidden window) and the widget view come from the front end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "comm_async/comm_async.h"
#include "comm_async/notify_target.h"
#include "comm_session_port.h"
#include "firmware/image_plan.h"
#include "history.h"
#include "session/job_observer.h"
#include "session/session.h"
#include "session/widget_view.h"
#include "store/job_record.h"

class RecordStore;

// Who the records of a core name, and where they go.
struct CoreRecordSettings {
  RecordFrontEnd FrontEnd = RecordFrontEnd::Cli;
  // The port as the operator named it ("COM1" or a device path); empty for
  // "COM<n>" of the port chosen.
  std::string PortLabel;
  // Where the records and the identities read go; none: nothing is kept.
  RecordStore* Store = nullptr;
  std::string Station;   // empty: the host name
  std::string Operator;  // empty: the login
};

class PortCore : private JobObserver {
 public:
  // `observer` (and `view`, when given) must outlive the core. The notify
  // target's messages are to be handed to WndProc on the thread that runs
  // the session.
  PortCore(NotifyTarget& notifyWindow, JobObserver& observer, WidgetView* view = nullptr);
  // Ends the session (files still open are closed, keeping what was written)
  // and closes the port.
  ~PortCore();
  PortCore(const PortCore&) = delete;
  PortCore& operator=(const PortCore&) = delete;

  TComm& Comm() { return comm_; }
  const TComm& Comm() const { return comm_; }
  Session& GetSession() { return *session_; }
  const Session& GetSession() const { return *session_; }
  CoreRecordSettings Records;

  // --- The jobs. Each starts at once and ends, later or at once, in one
  // JobFinished to the observer.
  void Connect();
  void Identify();
  // The job takes what it needs of `image` before this returns.
  void Update(const ImagePlan& image);
  void ReadBack(const std::string& destination);
  // The operator (or --yes) has agreed to erase the service sectors.
  void EraseOnly();
  // Back to the start: a job still running ends as cancelled, the port is
  // closed, everything the session knew is forgotten.
  void StartOver();

  // --- Driving the core from a thread of one's own (the command line, the
  // tests). The window drives it from its event loop instead.
  // A job has been started and has not ended yet.
  bool JobRunning() const { return running_ > 0; }
  // Runs `start`, then delivers the port's notifications, the session's
  // slices and its clock on this thread until the job has ended. Gives up
  // (DeviceSilent) when the device shows no sign of life for longer than
  // both `silence` and the session's own bound for what it waits for, or
  // when the job overruns what its bytes can need on the line.
  JobResult RunJob(Job job, const std::function<void()>& start,
                   std::chrono::milliseconds silence = std::chrono::seconds(60));
  // One round of that: a slice of a sector's data, or a wait of at most
  // `timeout` for the port. True when something was delivered.
  bool Pump(std::chrono::milliseconds timeout);

  // The notify target hands its messages here, on the session's thread.
  void WndProc(uint32_t message, uint32_t wParam, uint32_t lParam) {
    comm_.WndProc(message, wParam, lParam);
  }
  // Port n (1 to 4) of the operator's choice.
  void SelectPort(uint8_t port) { comm_.SetPort(port); }
  // The port as the records name it.
  std::string PortLabel() const;

  // The last job's result, as the observer heard it.
  const std::optional<JobResult>& LastResult() const { return lastResult_; }

  // --- Records. Without an operation begun, every job ends in a record of
  // its own (the window: each click is a job), carrying the connect and the
  // identify of the port's connection as its first phases. Between
  // BeginOperation and EndOperation the jobs add to one record instead (the
  // command line: connect, identify and update of one board are one record),
  // which the front end completes and ends.
  void BeginOperation(RecordJob job);
  bool OperationOpen() const { return operation_.has_value(); }
  // The record being built: the running operation's, else the one the next
  // job starts from.
  JobRecord& CurrentRecord() { return Target(); }
  // Stamps the end, keeps the record in the store (a warning for each thing
  // that could not be kept) and hands it back.
  JobRecord EndOperation();
  // Ends the operation without keeping it: nothing happened to a board (a
  // station stopped while it waited, or left a board it had just finished).
  void DropOperation() { operation_.reset(); }
  // Takes a saved identity as if the device had reported it (the board lost
  // its own in an interrupted update); the record says where it came from.
  void UseSavedIdentity(const DeviceIdentity& identity, std::span<const uint8_t> block);
  // Set from any thread (a signal handler): while it is not 0, the running
  // job ends as cancelled at the next round of RunJob.
  const std::atomic<int>* CancelFlag = nullptr;

 private:
  // What a record needs to know of a job, taken when the job starts.
  struct JobContext {
    Job Kind = Job::Connect;
    std::chrono::system_clock::time_point Started;
    std::optional<DeviceIdentity> Identity;
    std::optional<ImagePlan> Image;  // without its bytes
    std::string Destination;
    bool VerifyAsked = false;
  };

  // JobObserver, as the session sees the core.
  void LogWrite(std::string_view text) override { observer_.LogWrite(text); }
  void Warning(std::string_view text) override { observer_.Warning(text); }
  void Progress(const JobProgress& progress) override;
  void SectorProgramming(int32_t sector, uint32_t start, uint32_t end) override {
    observer_.SectorProgramming(sector, start, end);
  }
  void JobStarted(Job job) override;
  void JobFinished(Job job, const JobResult& result) override;
  // Keeps an identity read on this machine; a warning when it could not.
  void KeepIdentity(const JobResult& result);
  // What a job's end adds to the record being built.
  void TakeIntoRecord(JobRecord& record, const JobContext& context, const JobResult& result);
  // Fills the names of who and where, stamps the end and keeps it.
  void Keep(JobRecord& record);
  // How many bytes the job moves over the line, for its overall bound.
  int64_t LineBytes(Job job) const;

  TComm comm_;
  CommSessionPort port_;
  JobObserver& observer_;
  std::unique_ptr<Session> session_;
  // What the next job start is called with; taken by JobStarted.
  JobContext next_;
  // Jobs started and not ended, innermost last: a start refused while a job
  // runs starts and ends inside it.
  std::vector<JobContext> open_;
  int running_ = 0;
  std::optional<JobResult> lastResult_;
  // The connect and the identify of the port's connection, which the records
  // of the jobs that follow carry; and the operation a front end has begun.
  JobRecord connection_;
  std::optional<JobRecord> operation_;
  // The window's job running now, its own record.
  std::optional<JobRecord> job_;
  std::optional<JobPhase> lastPhase_;
  JobRecord& Target();
};

// The record's short word for why a job did not end well ("device-silent").
const char* CauseWord(JobFailure failure);
RecordOutcome RecordOutcomeOf(const JobResult& result);
