// The session's frame: the handler boundary, the receive dispatcher, the
// window's start and line-error handlers, and the helpers the state blocks
// share.
#include "session.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "firmware/hex_text.h"
#include "firmware/identity.h"
#include "platform/file_search.h"
#include "wire.h"

namespace {

// Windows-1252 characters 0x80 to 0x9F; 0 marks the five the code page leaves
// undefined, which keep their Latin-1 code point.
constexpr char32_t Cp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::string Utf8Of(char32_t code) {
  std::string out;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
  return out;
}

// "verify hardware" and the read-back set their own count; until then the
// read states stop after this many words.
constexpr int32_t StartWordsToRead = 200;

// The run-time's error numbers in words.
std::string IoErrorText(int code) {
  switch (code) {
    case 2:
      return "file not found (error 2)";
    case 3:
      return "path not found (error 3)";
    case 5:
      return "access denied (error 5)";
    case 100:
      return "read past the end of the file (error 100)";
    case 101:
      return "the write failed, the disk may be full (error 101)";
    case 103:
      return "the file is not open (error 103)";
    default:
      return "error " + std::to_string(code);
  }
}

// A session without widgets drives this one.
class NoWidgets : public WidgetView {
 public:
  void SetPanelForm(PanelForm) override {}
  void SetPanelCount(int32_t) override {}
  void RepaintPanelNow() override {}
  void SetProgress(int32_t) override {}
  void SetLabelColour(StepLabel, LabelColour) override {}
  void SetEnabled(Control, bool) override {}
};

NoWidgets& NoView() {
  static NoWidgets none;
  return none;
}

}  // namespace

Session::Session(SessionPort& port, JobObserver& observer, WidgetView* view)
    : Pause([](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }),
      Clock([] { return std::chrono::steady_clock::now(); }),
      port_(port),
      observer_(observer),
      view_(view != nullptr ? *view : NoView()) {}

template <typename Body>
void Session::Guarded(Body&& body) {
  fileStep_.clear();
  fileCause_.clear();
  try {
    body();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = Clock();
}

void Session::ReportFileFailure(int code) {
  std::string reason = IoErrorText(code);
  if (!fileCause_.empty()) {
    reason = fileCause_;
  } else if (!fileStep_.empty()) {
    reason = fileStep_ + " failed: " + reason;
  }
  if (!fileCause_.empty() || !fileStep_.empty()) Log("<ERR: " + reason + ">\r\n");
  fileStep_.clear();
  fileCause_.clear();
  view_.SetPanelForm(PanelForm::Error);
  observer_.Warning("E/A-Fehler " + std::to_string(code));
  if (!JobRunning()) return;
  const JobOutcome outcome = run_.ReachedDevice ? JobOutcome::Failed : JobOutcome::Refused;
  FinishJob(outcome, JobFailure::FileError, reason);
}

void Session::BeginJob(Job job) {
  CancelJob(std::string("ended by the start of ") + JobName(job));
  // A read-back that never reached its report still holds its destination;
  // what arrived so far is already on disk, so closing keeps it.
  CloseUnfinishedReadBack();
  run_ = JobRun{};
  run_.Kind = job;
  observer_.JobStarted(job);
}

void Session::CancelJob(const std::string& why) {
  if (!JobRunning()) return;
  FinishJob(run_.ReachedDevice ? JobOutcome::Failed : JobOutcome::Refused, JobFailure::Cancelled,
            why);
}

std::optional<Job> Session::RunningJob() const {
  if (!JobRunning()) return std::nullopt;
  return run_.Kind;
}

void Session::FinishJob(JobResult result) {
  if (!JobRunning()) return;
  run_.Finished = true;
  result.FlashTouched = run_.FlashTouched;
  observer_.JobFinished(run_.Kind, result);
}

void Session::FinishJob(JobOutcome outcome, JobFailure failure, std::string reason,
                        int32_t sector) {
  JobResult result;
  result.Outcome = outcome;
  result.Failure = failure;
  result.Reason = std::move(reason);
  result.Sector = sector;
  result.Count = vars_.TransferCount;
  FinishJob(std::move(result));
}

void Session::RefuseJob(JobFailure failure, std::string reason) {
  FinishJob(JobOutcome::Refused, failure, std::move(reason));
}

void Session::RefuseStart(Job job, JobFailure failure, std::string reason) {
  observer_.JobStarted(job);
  JobResult result;
  result.Outcome = JobOutcome::Refused;
  result.Failure = failure;
  result.Reason = std::move(reason);
  observer_.JobFinished(job, result);
}

bool Session::RefuseUnlessConnected() {
  if (port_.Connected()) return false;
  Log("<ERR: serial interface not opened>\r\n");
  view_.SetPanelForm(PanelForm::Error);
  RefuseJob(JobFailure::NotReady, "the serial port is not open: press connect first");
  return true;
}

void Session::UseIdentity(const DeviceIdentity& identity, std::span<const uint8_t> rawBlock) {
  vars_.Device = identity;
  const size_t kept = std::min(rawBlock.size(), static_cast<size_t>(IdentityBlockBytes));
  std::copy_n(rawBlock.begin(), kept, vars_.IdentityArea.begin());
  if (kept > 0) vars_.ReceiveIndex = static_cast<int32_t>(kept);
}

void Session::Log(std::string_view text) {
  observer_.LogWrite(text);
}

void Session::LogDeviceChar(uint8_t value) {
  char32_t code = value;
  if (value >= 0x80 && value <= 0x9F && Cp1252High[value - 0x80] != 0) {
    code = Cp1252High[value - 0x80];
  }
  Log(Utf8Of(code));
}

namespace {

std::vector<std::string> OwnFileFolders(const std::string& working, const std::string& upload,
                                        const std::string& program) {
  std::vector<std::string> folders{working};
  for (const std::string* folder : {&upload, &program}) {
    if (!folder->empty() && std::find(folders.begin(), folders.end(), *folder) == folders.end()) {
      folders.push_back(*folder);
    }
  }
  return folders;
}

}  // namespace

std::string Session::SearchedFolders() const {
  std::string searched;
  for (const std::string& folder : OwnFileFolders(WorkingDirectory, UploadFolder, ProgramFolder)) {
    if (!searched.empty()) searched += ", ";
    if (!folder.empty()) {
      searched += folder;
      continue;
    }
    const std::string working = WorkingFolder();
    searched += working.empty() ? "the working folder" : working + " (the working folder)";
  }
  return searched;
}

std::string Session::FindOwnFile(const std::string& name) {
  const std::vector<std::string> folders =
      OwnFileFolders(WorkingDirectory, UploadFolder, ProgramFolder);
  const FoundFile found = FindInFolders(folders, name);
  if (!found.Path.empty()) {
    if (found.OtherCase) Log("<" + name + ": using " + found.Path + ">\r\n");
    return found.Path;
  }
  Log("<" + name + " was looked for in: " + SearchedFolders() + ">\r\n");
  if (WorkingDirectory.empty()) return name;
  return WorkingDirectory.back() == '/' ? WorkingDirectory + name : WorkingDirectory + "/" + name;
}

bool Session::Send(uint8_t value) {
  return SendBytes(&value, 1);
}

bool Session::RequestWord() {
  // Two data bytes and "g" or "f".
  constexpr uint32_t WordReplyBytes = 3;
  if (!Send(wire::CmdNextWord)) return false;
  port_.ExpectReply(WordReplyBytes);
  return true;
}

bool Session::SendBytes(const uint8_t* bytes, uint32_t count) {
  if (JobRunning()) run_.ReachedDevice = true;
  return port_.Write(bytes, count) == count;
}

void Session::SetProgressOf(JobPhase phase, int64_t count, int64_t total, const char* unit) {
  if (total <= 0) return;
  view_.SetProgress(static_cast<int32_t>(count * 100 / total));
  if (JobRunning()) observer_.Progress(JobProgress{run_.Kind, phase, count, total, unit});
}

void Session::ReportPhase(JobPhase phase, int64_t count, int64_t total, const char* unit) {
  if (JobRunning()) observer_.Progress(JobProgress{run_.Kind, phase, count, total, unit});
}

void Session::CloseUnfinishedReadBack() {
  if (files_.DestinationFile.IsOpen()) {
    run_.ReadBack.PartPath = files_.DestinationFile.Keep();
    NoteUnfinishedReadBack();
  }
}

void Session::NoteUnfinishedReadBack() {
  if (run_.ReadBack.PartPath.empty()) return;
  Log("<the read-back did not finish: what arrived is in " + run_.ReadBack.PartPath + ">\r\n");
  run_.ReadBack.PartPath.clear();
}

bool Session::FlashJobRunning() const {
  switch (vars_.SessionState) {
    case State::AwaitErasePrompt:
    case State::AwaitEraseResult:
    case State::AwaitProgramPrompt:
    case State::AwaitProgramResult:
      return true;
    default:
      return false;
  }
}

void Session::NextSelectedSector() {
  for (int32_t sector = vars_.CurrentSector + 1; sector < SectorCount; ++sector) {
    if (sector >= 0 && vars_.SectorSelected[static_cast<size_t>(sector)] == 1) {
      vars_.CurrentSector = sector;
      return;
    }
  }
}

uint8_t Session::HexDigitValue(char c) {
  return ::HexDigitValue(c);
}

void Session::FormActivate() {
  view_.SetLabelColour(StepLabel::Label5, LabelColour::ButtonFace);
  for (Control control : {Control::Button1, Control::Button3, Control::Button4, Control::Button6}) {
    view_.SetEnabled(control, false);
  }
  view_.SetLabelColour(StepLabel::Label9, LabelColour::Yellow);
  view_.SetLabelColour(StepLabel::Label3, LabelColour::Yellow);
  vars_.JobKind = DataUse::KeepOrShow;
  vars_.DestinationFileName.clear();
  vars_.WordsToRead = StartWordsToRead;
}

void Session::Comm1CommEvent(uint32_t /*events*/, uint32_t /*state*/) {}

void Session::Comm1CommError(uint32_t errorCode) {
  Log("<ERR: " + HexDigits(errorCode, 4) + ">\r\n");
  view_.SetPanelForm(PanelForm::Error);
  // A port that is gone, or a line held in a break, brings nothing more from
  // the device: the job ends now instead of after its bound. A break while
  // the chip is being woken may be the board's own power-up.
  if (!JobRunning()) return;
  if ((errorCode & LineErrorPortGone) != 0) {
    EndJobOnLostLine("the port reported that the line is gone (wire pulled or adapter unplugged)");
  } else if ((errorCode & LineErrorBreak) != 0 &&
             vars_.SessionState != State::AwaitBootstrapAnswer) {
    EndJobOnLostLine("the line is held in a break (the download wire is off)");
  }
}

void Session::StartConnect() {
  Guarded([this] { DoStartConnect(); });
}
void Session::StartIdentify() {
  Guarded([this] { DoStartIdentify(); });
}
void Session::StartUpdate(const ImagePlan& image) {
  Guarded([this, &image] { DoStartUpdate(image); });
}
void Session::StartReadBack(const std::string& destination) {
  Guarded([this, &destination] { DoStartReadBack(destination); });
}
void Session::StartEraseOnly() {
  Guarded([this] { DoStartEraseOnly(); });
}

void Session::Shutdown() {
  Guarded([this] {
    CancelJob("the program was closed");
    CloseAllFiles();
  });
}

void Session::Cancel(const std::string& why) {
  Guarded([this, &why] {
    CancelJob(why);
    CloseAllFiles();
  });
}

void Session::CloseAllFiles() {
  // Each file on its own, so that one failing close does not keep the others
  // open; the first failure is still reported.
  fileStep_ = "closing the files of the session";
  int firstError = 0;
  if (files_.DestinationFile.IsOpen()) CloseUnfinishedReadBack();
  for (SeqFile* file : {&files_.ImageFile, &files_.LoaderFile, &files_.FlashRoutineFile}) {
    if (!file->IsOpen()) continue;
    try {
      file->Close();
    } catch (const InOutError& error) {
      if (firstError == 0) firstError = error.Code();
    }
  }
  if (firstError != 0) throw InOutError(firstError);
  fileStep_.clear();
}

void Session::StartOver() {
  Guarded([this] {
    CancelJob("started over");
    vars_ = Variables{};
    vars_.WordsToRead = StartWordsToRead;
    table_ = TableExchange{};
    CloseAllFiles();
    run_ = FinishedRun();
  });
}

bool Session::AwaitingBoard() const {
  return RepeatStartAfter.count() > 0 && RunningJob() == Job::Connect &&
         vars_.SessionState == State::AwaitBootstrapAnswer;
}

void Session::Tick(std::chrono::steady_clock::time_point now) {
  if (JobRunning() && CancelRequested && CancelRequested()) {
    Log("<cancelled by the operator>\r\n");
    try {
      CancelJob("cancelled by the operator");
      vars_.SessionState = State::Idle;
      CloseAllFiles();
    } catch (const InOutError& error) {
      ReportFileFailure(error.Code());
    }
    return;
  }
  if (AwaitingBoard()) {
    // Half a second without a byte either way: the start byte cannot land
    // in the middle of an answer.
    if (now - lastProgress_ >= RepeatStartAfter) {
      Send(wire::CmdBootstrapStart);
      lastProgress_ = now;
    }
    return;
  }
  const std::chrono::milliseconds bound = SilenceBound();
  if (bound.count() == 0 || now - lastProgress_ < bound) return;
  try {
    EndSilentJob(bound);
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = now;
}

void Session::Comm1CharReceived(uint32_t /*cbInQue*/) {
  // While a sector's data goes out the device has nothing to say; whatever
  // it sends meanwhile waits until the whole sector is sent, as the device
  // protocol expects.
  if (ContinuePending()) return;
  fileStep_.clear();
  try {
    Dispatch();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
}

void Session::Dispatch() {
  // The count of waiting bytes is stale by the time it arrives; reading until
  // the port has nothing more also takes the bytes that came in meanwhile.
  // A device that floods the line must not hold the thread: after the slice
  // the pass ends with bytes still waiting, and the serial component posts
  // again for them once this notification has been handed back.
  const auto sliceEnd = Clock() + DispatcherSlice;
  bool received = false;
  while (!ContinuePending()) {
    uint8_t value = 0;
    if (port_.Read(&value, 1) == 0) break;
    received = true;
    vars_.CurrentChar = value;
    vars_.ActiveState = vars_.SessionState;
    RunStateBlock(vars_.ActiveState);
    if (Clock() >= sliceEnd) break;
  }
  if (received) lastProgress_ = Clock();
}

void Session::Continue() {
  if (!ContinuePending()) return;
  fileStep_ = "reading the image \"" + files_.ImageFile.Path() + "\" for sector " +
              std::to_string(vars_.CurrentSector);
  try {
    if (!SendSectorSlice()) {
      EndSectorSendFailed();
    } else if (!ContinuePending()) {
      // The sector is out: the device's reply may be waiting already.
      Dispatch();
    }
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = Clock();
}

void Session::RunStateBlock(State state) {
  switch (state) {
    case State::Idle:
      State0Idle();
      break;
    case State::AwaitBootstrapAnswer:
      // Waiting for a board, whatever else the line carries (a routine
      // still running, noise of a board powering up) is no answer.
      if (AwaitingBoard() && vars_.CurrentChar != LoaderIdentification) break;
      State1Upload();
      break;
    case State::AwaitReadPrompt:
      State2NextSector();
      break;
    case State::AwaitReadWordFirst:
    case State::AwaitReadWordSecond:
      State3Or4DataByte();
      break;
    case State::AwaitReadWordStatus:
      State5WordStatus();
      break;
    case State::AwaitReadReport:
      State6Report();
      break;
    case State::AwaitIdentityWordFirst:
    case State::AwaitIdentityWordSecond:
      State7Or8StoreByte();
      break;
    case State::AwaitIdentityWordStatus:
      State9WordStatus();
      break;
    case State::AwaitIdentityEnd:
      State10Evaluate();
      break;
    case State::AwaitErasePrompt:
      State11NextErase();
      break;
    case State::AwaitEraseResult:
      State12Erased();
      break;
    case State::AwaitProgramPrompt:
      State13NextProgram();
      break;
    case State::AwaitProgramResult:
      State14ProgramResult();
      break;
    case State::AwaitFinalReport:
      State15FinalReport();
      break;
    case State::AwaitLogCharFirst:
    case State::AwaitLogCharSecond:
      State16Or17LogChar();
      break;
    case State::Ended:
      // The session has ended: the byte is consumed.
      break;
    case State::AwaitVerifyPrompt:
      StateVerifyPrompt();
      break;
    case State::AwaitVerifyWordFirst:
    case State::AwaitVerifyWordSecond:
      StateVerifyWordByte();
      break;
    case State::AwaitVerifyWordStatus:
      StateVerifyWordStatus();
      break;
    case State::AwaitTablePrompt:
    case State::AwaitTableCount:
    case State::AwaitTableEntryPrompt:
    case State::AwaitTableEntryByte:
      StateTableExchange();
      break;
    case State::SendingSectorData:
      // Never reached: the dispatcher reads nothing while data goes out.
      break;
  }
}
