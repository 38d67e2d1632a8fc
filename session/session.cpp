// The session's frame: the handler boundary, the receive dispatcher, the
// window's start and line-error handlers, and the helpers the state blocks
// share.
#include "session.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/file_search.h"
#include "firmware/identity.h"

namespace {

// Keeps Busy() true while a handler or a dispatcher pass runs, also when it
// leaves through an exception.
class BusyScope {
 public:
  explicit BusyScope(int& depth) : depth_(depth) { ++depth_; }
  ~BusyScope() { --depth_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& depth_;
};

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

}  // namespace

Session::Session(SessionPort& port, SessionWindow& window)
    : Pause([](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }),
      Clock([] { return std::chrono::steady_clock::now(); }),
      port_(port),
      window_(window) {}

void Session::Guarded(void (Session::*body)()) {
  BusyScope scope(busy_);
  fileStep_.clear();
  try {
    (this->*body)();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = Clock();
}

void Session::ReportFileFailure(int code) {
  if (!fileStep_.empty()) {
    Log("<ERR: " + fileStep_ + " failed: " + IoErrorText(code) + ">\r\n");
  }
  fileStep_.clear();
  window_.SetPanelForm(PanelForm::Error);
  window_.ShowWarning("E/A-Fehler " + std::to_string(code));
  if (!runningJob_) return;
  const JobOutcome outcome = jobReachedDevice_ ? JobOutcome::Failed : JobOutcome::Refused;
  FinishJob(outcome, JobFailure::FileError, "file error " + std::to_string(code));
}

void Session::BeginJob(Job job) {
  if (runningJob_) {
    FinishJob(jobReachedDevice_ ? JobOutcome::Failed : JobOutcome::Refused, JobFailure::Cancelled,
              std::string("ended by the start of ") + JobName(job));
  }
  runningJob_ = job;
  jobReachedDevice_ = false;
  window_.JobStarted(job);
}

void Session::FinishJob(JobResult result) {
  if (!runningJob_) return;
  const Job job = *runningJob_;
  runningJob_.reset();
  window_.JobFinished(job, result);
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
  window_.JobStarted(job);
  JobResult result;
  result.Outcome = JobOutcome::Refused;
  result.Failure = failure;
  result.Reason = std::move(reason);
  window_.JobFinished(job, result);
}

bool Session::RefuseUnlessConnected() {
  if (port_.Connected()) return false;
  Log("<ERR: serial interface not opened>\r\n");
  window_.SetPanelForm(PanelForm::Error);
  RefuseJob(JobFailure::NotReady, "the serial port is not open");
  return true;
}

void Session::UseIdentity(const DeviceIdentity& identity, std::span<const uint8_t> rawBlock) {
  vars_.Device = identity;
  const size_t kept = std::min(rawBlock.size(), static_cast<size_t>(IdentityBlockBytes));
  std::copy_n(rawBlock.begin(), kept, vars_.IdentityArea.begin());
  if (kept > 0) vars_.ReceiveIndex = static_cast<int32_t>(kept);
}

void Session::Log(std::string_view text) {
  window_.LogWrite(text);
}

void Session::LogDeviceChar(uint8_t value) {
  char32_t code = value;
  if (value >= 0x80 && value <= 0x9F && Cp1252High[value - 0x80] != 0) {
    code = Cp1252High[value - 0x80];
  }
  Log(Utf8Of(code));
}

std::string Session::FindOwnFile(const std::string& name) {
  std::vector<std::string> folders{WorkingDirectory};
  for (const std::string* folder : {&UploadFolder, &ProgramFolder}) {
    if (!folder->empty() && std::find(folders.begin(), folders.end(), *folder) == folders.end()) {
      folders.push_back(*folder);
    }
  }
  const FoundFile found = FindInFolders(folders, name);
  if (!found.Path.empty()) {
    if (found.OtherCase) Log("<" + name + ": using " + found.Path + ">\r\n");
    return found.Path;
  }
  std::string searched;
  for (const std::string& folder : folders) {
    if (!searched.empty()) searched += ", ";
    searched += folder.empty() ? "the working folder" : folder;
  }
  Log("<" + name + " was looked for in: " + searched + ">\r\n");
  if (WorkingDirectory.empty()) return name;
  return WorkingDirectory.back() == '/' ? WorkingDirectory + name : WorkingDirectory + "/" + name;
}

bool Session::Send(uint8_t value) {
  return SendBytes(&value, 1);
}

bool Session::SendWord(uint8_t first, uint8_t second) {
  const uint8_t word[2] = {first, second};
  return SendBytes(word, 2);
}

bool Session::SendBytes(const uint8_t* bytes, uint32_t count) {
  if (runningJob_) jobReachedDevice_ = true;
  return port_.Write(bytes, count) == count;
}

void Session::SetProgressOf(int64_t count, int64_t total) {
  if (total <= 0) return;
  window_.SetProgress(static_cast<int32_t>(count * 100 / total));
}

void Session::CloseUnfinishedReadBack() {
  // A read-back that never reached its report still holds its destination;
  // what arrived so far is already on disk, so closing keeps it.
  if (vars_.DestinationFile.IsOpen()) {
    vars_.DestinationFile.Close();
    NoteUnfinishedReadBack();
  }
}

void Session::NoteUnfinishedReadBack() {
  if (readBackPart_.empty()) return;
  Log("<the read-back did not finish: what arrived is in " + readBackPart_ + ">\r\n");
  readBackPart_.clear();
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
  BusyScope scope(busy_);
  window_.SetLabelColour(StepLabel::Label5, LabelColour::ButtonFace);
  for (Control control : {Control::Button1, Control::Button3, Control::Button4, Control::Button6}) {
    window_.SetEnabled(control, false);
  }
  window_.SetLabelColour(StepLabel::Label9, LabelColour::Yellow);
  window_.SetLabelColour(StepLabel::Label3, LabelColour::Yellow);
  vars_.JobKind = DataUse::KeepOrShow;
  vars_.DestinationFileName.clear();
  vars_.WordsToRead = StartWordsToRead;
}

void Session::Comm1CommEvent(uint32_t /*events*/, uint32_t /*state*/) {}

void Session::Comm1CommError(uint32_t errorCode) {
  BusyScope scope(busy_);
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint32_t rest = errorCode; rest != 0; rest >>= 4)
    hex.insert(hex.begin(), Digits[rest & 0xF]);
  if (hex.size() < 4) hex.insert(0, 4 - hex.size(), '0');
  Log("<ERR: " + hex + ">\r\n");
  window_.SetPanelForm(PanelForm::Error);
}

void Session::Button3Click() {
  Guarded(&Session::DoButton3Click);
}
void Session::Button6Click() {
  Guarded(&Session::DoButton6Click);
}
void Session::Button4Click() {
  Guarded(&Session::DoButton4Click);
}
void Session::Button7Click() {
  Guarded(&Session::DoButton7Click);
}
void Session::Button11Click() {
  Guarded(&Session::DoButton11Click);
}
void Session::RadioButton5Click() {
  Guarded(&Session::DoRadioButton5Click);
}
void Session::Shutdown() {
  Guarded(&Session::DoShutdown);
}

void Session::DoShutdown() {
  FinishJob(jobReachedDevice_ ? JobOutcome::Failed : JobOutcome::Refused, JobFailure::Cancelled,
            "the program was closed");
  CloseAllFiles();
}

void Session::CloseAllFiles() {
  // Each file on its own, so that one failing close does not keep the others
  // open; the first failure is still reported.
  fileStep_ = "closing the files of the session";
  int firstError = 0;
  const bool readBackOpen = vars_.DestinationFile.IsOpen();
  for (SeqFile* file :
       {&vars_.DestinationFile, &vars_.ImageFile, &vars_.LoaderFile, &vars_.FlashRoutineFile}) {
    if (!file->IsOpen()) continue;
    try {
      file->Close();
    } catch (const InOutError& error) {
      if (firstError == 0) firstError = error.Code();
    }
  }
  if (readBackOpen) NoteUnfinishedReadBack();
  if (firstError != 0) throw InOutError(firstError);
  fileStep_.clear();
}

void Session::ResetVariables() {
  Variables& v = vars_;
  v.SessionState = State::Idle;
  v.ActiveState = State::Idle;
  v.JobKind = DataUse::KeepOrShow;
  v.CurrentSector = -1;
  v.SelectedSectorCount = 0;
  v.SectorSelected.fill(0);
  v.SectorStart.fill(0);
  v.SectorTableTop = 0;
  v.SectorsErased = 0;
  v.SectorsDone = 0;
  v.TransferCount = 0;
  v.ImageSize = 0;
  v.SectorBytesLeft = 0;
  v.LoaderFileSize = 0;
  v.FlashRoutineFileSize = 0;
  v.DestinationFileName.clear();
  v.WordsToRead = StartWordsToRead;
  v.ReadAddress.fill(0);
  v.IdentityArea.fill(0);
  v.ReceiveIndex = 0;
  v.CurrentChar = 0;
  v.Device = DeviceIdentity{};
  imageIsTemporary_ = false;
  programmingFailed_ = false;
  failedSector_ = -1;
  sectorTableUnusable_ = false;
  identityGarbled_ = false;
  readBackGarbled_ = false;
  readBackStopped_ = false;
  verifyPending_ = false;
  sentBytes_.clear();
  sentSectors_.clear();
  difference_.reset();
}

void Session::StartOver() {
  BusyScope scope(busy_);
  try {
    FinishJob(jobReachedDevice_ ? JobOutcome::Failed : JobOutcome::Refused, JobFailure::Cancelled,
              "started over");
    ResetVariables();
    CloseAllFiles();
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = Clock();
}

void Session::Tick(std::chrono::steady_clock::time_point now) {
  // Inside a handler or a pass (a box is open) nothing is decided: the
  // silence may be the operator's.
  if (busy_ > 0) return;
  const std::chrono::milliseconds bound = SilenceBound();
  if (bound.count() == 0 || now - lastProgress_ < bound) return;
  BusyScope scope(busy_);
  try {
    EndSilentJob(bound);
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  lastProgress_ = now;
}

void Session::Comm1CharReceived(uint32_t /*cbInQue*/) {
  // The count of waiting bytes is stale by the time it arrives; reading until
  // the port has nothing more also takes the bytes that came in meanwhile.
  BusyScope scope(busy_);
  fileStep_.clear();
  // A device that floods the line must not hold the window: after the slice
  // the pass ends with bytes still waiting, and the serial component posts
  // again for them once this notification has been handed back.
  const auto sliceEnd = Clock() + DispatcherSlice;
  bool received = false;
  try {
    for (;;) {
      uint8_t value = 0;
      if (port_.Read(&value, 1) == 0) break;
      received = true;
      vars_.CurrentChar = value;
      vars_.ActiveState = vars_.SessionState;
      RunStateBlock(vars_.ActiveState);
      if (Clock() >= sliceEnd) break;
    }
  } catch (const InOutError& error) {
    ReportFileFailure(error.Code());
  }
  if (received) lastProgress_ = Clock();
}

void Session::RunStateBlock(State state) {
  switch (state) {
    case State::Idle:
      State0Idle();
      break;
    case State::AwaitBootstrapAnswer:
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
  }
}
