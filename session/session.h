// The device session: the session variables, the receive dispatcher
// Comm1CharReceived with the blocks of its states, and the starts of the
// jobs (connect, verify hardware, download, read-back, erase-only), each
// taking what it needs as arguments.
//
// Everything here runs on one thread, the one that delivers the port's
// notifications. The session knows neither Qt nor the OS: it talks to the
// device through SessionPort, reports to a JobObserver and drives the
// window's widgets through a WidgetView when there is one.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/flash_part.h"
#include "firmware/identity.h"
#include "firmware/image_plan.h"
#include "job.h"
#include "job_observer.h"
#include "platform/destination.h"
#include "platform/seq_file.h"
#include "session_port.h"
#include "widget_view.h"

constexpr int SectorCount = MaxFlashSectors;      // flags of SectorSelected
constexpr int SectorTableSize = SectorCount + 1;  // entries of SectorStart
constexpr int IdentityAreaSize = 4100;
constexpr int IdentityBlockBytes = 4096;

class Session {
 public:
  // The state in which the next received byte is handled. The numbers up to
  // 18 are the ones the log lines, the documents and the device traces use.
  enum class State : uint8_t {
    Idle = 0,                     // connected or not: "a", "j" and "h" from the flash routine
    AwaitBootstrapAnswer = 1,     // any byte: the chip's loader answered the start byte
    AwaitReadPrompt = 2,          // "a" before the read command of the next sector
    AwaitReadWordFirst = 3,       // first byte of a read-back word
    AwaitReadWordSecond = 4,      // second byte of a read-back word
    AwaitReadWordStatus = 5,      // "g" (more follows) or "f" (end of sector)
    AwaitReadReport = 6,          // any byte: the read-back's report
    AwaitIdentityWordFirst = 7,   // first byte of an identity word
    AwaitIdentityWordSecond = 8,  // second byte of an identity word
    AwaitIdentityWordStatus = 9,  // "g" after an identity word
    AwaitIdentityEnd = 10,        // any byte after the stop: the identity evaluation
    AwaitErasePrompt = 11,        // "a" before the next erase command
    AwaitEraseResult = 12,        // "b": the sector is erased
    AwaitProgramPrompt = 13,      // "a" before the next program command and its data
    AwaitProgramResult = 14,      // "e" programmed, "d" failed
    AwaitFinalReport = 15,        // any byte: the update's final report
    AwaitLogCharFirst = 16,       // first of the two characters after "h"
    AwaitLogCharSecond = 17,      // second of the two characters after "h"
    Ended = 18,                   // an update or erase-only job has ended; bytes are swallowed
    // The verify after a download: the programmed sectors are read back.
    AwaitVerifyPrompt = 19,      // "a" before the next sector's read command, or the report
    AwaitVerifyWordFirst = 20,   // first byte of a word read back
    AwaitVerifyWordSecond = 21,  // second byte of a word read back
    AwaitVerifyWordStatus = 22,  // "g" (more follows) or "f" (end of sector)
    // The sector-table exchange that "j" announces.
    AwaitTablePrompt = 23,       // the routine's prompt: answered with the count request
    AwaitTableCount = 24,        // the count byte (the last sector's number)
    AwaitTableEntryPrompt = 25,  // the prompt before an entry: answered with its request
    AwaitTableEntryByte = 26,    // one of an entry's four address bytes
    // A sector's data is going out, a slice per pass; bytes from the device
    // wait until it is all sent.
    SendingSectorData = 27,
  };
  static constexpr int StateCount = 28;

  // What the read states do with the bytes they receive (the variable the
  // device protocol calls JobKind).
  enum class DataUse : uint8_t {
    KeepOrShow = 1,         // identity words are kept; read-back words go to the log
    ToDestinationFile = 3,  // read-back words go to the destination file
  };

  // `view` may be null: a front end without widgets.
  Session(SessionPort& port, JobObserver& observer, WidgetView* view = nullptr);

  // --- Settings of the host side (not device state) ---
  // Folders in which Loader.hex, F29f160d.hex and "empty" are looked up, in
  // this order: the working folder (empty means the process's own), then the
  // folder the operator chose, then the program's folder. Empty entries after
  // the first are skipped.
  std::string WorkingDirectory;
  std::string UploadFolder;
  std::string ProgramFolder;
  // Full path of the temporary image; empty when no private place exists.
  std::string TemporaryImagePath;
  // Longest wait for one byte inside the sector-table exchange.
  std::chrono::milliseconds SectorTableByteTimeout{2000};
  // Longest silence of the device while it should answer (prompts, words of
  // a read); erases and programming wait at least as long as the flash part
  // may take.
  std::chrono::milliseconds ReplyTimeout = DeviceReplyTimeout;
  // The pause of "connect" before it starts the bootstrap.
  std::function<void(std::chrono::milliseconds)> Pause;
  // After "download" has programmed the last sector, read the programmed
  // bytes back and compare them with what was sent.
  bool VerifyAfterDownload = true;
  // The clock of the bounded waits and of the dispatcher's time slice.
  std::function<std::chrono::steady_clock::time_point()> Clock;
  // The flash part the device carries.
  const FlashPart& Part = DevicePart();
  // A station waiting for its next board: when not 0, "connect" waits for
  // the bootstrap loader without bound and sends the start byte again after
  // every this long of silence on the line, never while the device is
  // sending. Only the loader's identification byte then counts as its answer:
  // a board still running the flash routine of its last update is no new
  // board.
  std::chrono::milliseconds RepeatStartAfter{0};
  // Asked at every Tick: true ends the running job as cancelled by the
  // operator, its files closed (a station's second Ctrl-C).
  std::function<bool()> CancelRequested;

  // --- Bounds of the waits for the device (Tick enforces them) ---
  // The chip's bootstrap loader answers the start byte at once when it is
  // there at all.
  static constexpr std::chrono::seconds BootstrapAnswerTimeout{3};
  // What the chip's bootstrap loader answers the start byte with.
  static constexpr uint8_t LoaderIdentification = 0xD5;
  // Every other reply unless ReplyTimeout says otherwise.
  static constexpr std::chrono::seconds DeviceReplyTimeout{5};
  // The dispatcher hands the thread back after this long, bytes waiting or
  // not: a device that floods the line cannot freeze the window.
  static constexpr std::chrono::milliseconds DispatcherSlice{50};
  // A sector's data goes out this many bytes per pass; the front end gets
  // its thread back in between (the window repaints).
  static constexpr int32_t SendSliceBytes = 512;

  // --- Job starts ---
  void FormActivate();
  // "connect": opens the port, uploads loader and flash routine.
  void StartConnect();
  // "verify hardware": reads the identity block.
  void StartIdentify();
  // "download" of the image the operator chose.
  void StartUpdate(const ImagePlan& image);
  // Reads the service sectors into `destination`.
  void StartReadBack(const std::string& destination);
  // Erases the service sectors and programs them from "empty", looked up in
  // the folders above.
  void StartEraseOnly();

  void Comm1CharReceived(uint32_t cbInQue);
  void Comm1CommEvent(uint32_t events, uint32_t state);
  void Comm1CommError(uint32_t errorCode);
  // "connect" waits for a board (RepeatStartAfter) and no loader has
  // answered yet.
  bool AwaitingBoard() const;
  // True while a sector's data is still to be sent: the front end calls
  // Continue once it has had its thread (the window: after painting).
  bool ContinuePending() const { return vars_.SessionState == State::SendingSectorData; }
  void Continue();
  // The program ends: files still open are closed, keeping what was written;
  // a job still running ends as cancelled.
  void Shutdown();
  // Back to the start state, as a fresh start of the program would be: a job
  // still running ends as cancelled, files are closed, every session variable
  // and the device's identity are forgotten. The port and the widgets are
  // the front end's.
  void StartOver();
  // Called by the front end about every 100 ms: a job whose device has been
  // silent for longer than the bound of what it waits for ends (DeviceSilent).
  void Tick(std::chrono::steady_clock::time_point now);
  // The front end gives up waiting for the running job: it ends as the
  // device having stopped answering, with `reason`, and its files close.
  void GiveUp(const std::string& reason);
  // The front end stops the running job (a signal, the operator): it ends
  // as cancelled with `why`, and its files close.
  void Cancel(const std::string& why);
  // How long the device may stay silent now before Tick ends the job; 0 when
  // nothing is awaited.
  std::chrono::milliseconds SilenceBound() const;

  // Takes these identity values as if "verify hardware" had read them from
  // the device; `rawBlock` is the device's identity block, when known.
  void UseIdentity(const DeviceIdentity& identity, std::span<const uint8_t> rawBlock = {});

  // True while sectors are being erased or programmed: leaving now would
  // leave the device half programmed.
  bool FlashJobRunning() const;
  // The job started and not yet finished, if any.
  std::optional<Job> RunningJob() const;

  // Value of one hexadecimal digit; "0" and every other character give 0.
  static uint8_t HexDigitValue(char c);

  // --- What the session holds, read-only ---
  State SessionState() const { return vars_.SessionState; }
  State ActiveState() const { return vars_.ActiveState; }
  DataUse JobKind() const { return vars_.JobKind; }
  int32_t CurrentSector() const { return vars_.CurrentSector; }
  int32_t SelectedSectorCount() const { return vars_.SelectedSectorCount; }
  const std::array<uint8_t, SectorCount>& SectorSelected() const { return vars_.SectorSelected; }
  // The sector table the device reported at "connect": entry i is the first
  // address of sector i, entry i+1 its end.
  const std::array<uint32_t, SectorTableSize>& SectorStart() const { return vars_.SectorStart; }
  int32_t SectorTableTop() const { return vars_.SectorTableTop; }
  int32_t SectorsErased() const { return vars_.SectorsErased; }
  int32_t SectorsDone() const { return vars_.SectorsDone; }
  // Bytes sent while programming (filler included), words while reading.
  int32_t TransferCount() const { return vars_.TransferCount; }
  int32_t ImageSize() const { return vars_.ImageSize; }
  int32_t WordsToRead() const { return vars_.WordsToRead; }
  const SeqFile& ImageFile() const { return files_.ImageFile; }
  const ::DestinationFile& DestinationFile() const { return files_.DestinationFile; }
  const std::string& DestinationFileName() const { return vars_.DestinationFileName; }
  // The received identity block (bytes 4096 to 4099 are never written).
  const std::array<uint8_t, IdentityAreaSize>& IdentityArea() const { return vars_.IdentityArea; }
  int32_t ReceiveIndex() const { return vars_.ReceiveIndex; }
  // The device's identity values, from "verify hardware" or UseIdentity.
  const DeviceIdentity& Identity() const { return vars_.Device; }

 private:
  // Tests and fuzzers set up what a device would have set (a sector table, a
  // state) through this one door.
  friend class SessionTestAccess;

  // The session variables, under the names the device protocol gives them.
  // Several jobs share them; "start over" makes them new.
  struct Variables {
    State SessionState = State::Idle;
    State ActiveState = State::Idle;
    DataUse JobKind = DataUse::KeepOrShow;
    int32_t CurrentSector = -1;
    int32_t SelectedSectorCount = 0;
    std::array<uint8_t, SectorCount> SectorSelected{};
    std::array<uint32_t, SectorTableSize> SectorStart{};
    int32_t SectorTableTop = 0;
    int32_t SectorsErased = 0;
    int32_t SectorsDone = 0;
    int32_t TransferCount = 0;
    int32_t ImageSize = 0;
    int32_t SectorBytesLeft = 0;
    std::string DestinationFileName;
    int32_t WordsToRead = 200;
    std::array<uint8_t, 3> ReadAddress{};
    std::array<uint8_t, IdentityAreaSize> IdentityArea{};
    int32_t ReceiveIndex = 0;
    uint8_t CurrentChar = 0;
    // Device identity: DeviceProductName, DeviceHardwareVersion,
    // DeviceSerialNumber, DeviceSerialNumberFound, DeviceBrandLabel.
    DeviceIdentity Device;
  };
  struct Files {
    SeqFile LoaderFile;
    SeqFile FlashRoutineFile;
    SeqFile ImageFile;
    // Written beside the destination and put in its place once complete.
    ::DestinationFile DestinationFile;
  };

  // The sector-table exchange in progress, and whether the last one can be
  // trusted: the flash routine's "a" after a failed exchange does not make a
  // connection, as its sizes cannot be trusted.
  struct TableExchange {
    int32_t Entry = 0;      // the entry being received
    int32_t LastEntry = 0;  // the count byte plus one
    int Byte = 0;           // bytes of the entry received so far
    uint32_t Value = 0;
    bool Plausible = true;
    bool Unusable = false;
  };

  // What programming sent of one sector up to the image's last byte, so that
  // the verify compares with exactly that (the filler of the last word
  // included), even once the temporary image is gone.
  struct SentSector {
    int32_t Sector = -1;
    size_t Offset = 0;  // into SentBytes
    size_t Length = 0;  // bytes of words that hold image bytes
  };
  // The first difference the verify found: its sector, address, the byte
  // sent and the byte read.
  struct Difference {
    int32_t Sector = -1;
    int64_t Address = -1;
    int Written = -1;
    int Read = -1;
  };

  // What one job knows while it runs: made when it starts, so that nothing
  // of an earlier job is taken for this one's, and kept until the next job
  // starts (bytes the device still sends after the end are told apart by it).
  struct FlashRun {
    // ImageFile is the patched temporary image (not the erase-only file):
    // only that one may be deleted after programming, and only it is
    // verified.
    bool ImageIsTemporary = false;
    bool ProgrammingFailed = false;  // the device reported "d"
    int32_t FailedSector = -1;
    std::vector<uint8_t> SentBytes;
    std::vector<SentSector> SentSectors;
    bool KeepSector = false;  // the sector being sent is kept for the verify
    bool VerifyPending = false;
    size_t VerifyIndex = 0;     // entry of SentSectors being read back
    size_t VerifyPosition = 0;  // bytes of that sector compared so far
    size_t VerifiedBytes = 0;
    size_t SectorFirstByte = 0;  // VerifiedBytes when the sector's read began
    // The word being read: compared only once the "g" or "f" after it shows
    // that it is a word and not a byte shifted by the line.
    std::array<uint8_t, 2> Word{};
    // The one read again of the verify has been used: a lost step or a
    // difference is read once more from its sector before it counts.
    bool ReadAgain = false;
    // A word was not followed by "g" or "f" also in the read again: where.
    std::optional<Difference> LostStep;
    std::optional<Difference> FirstDifference;
  };
  struct ReadBackRun {
    // The words lost their framing, or the destination refused a byte (the
    // read was then stopped and the rest of its bytes go nowhere).
    bool Garbled = false;
    bool Stopped = false;
    // Where what arrived of a read-back that did not finish was left.
    std::string PartPath;
    uint32_t SectorWords = 0;  // words of the sector being read so far
  };
  struct JobRun {
    Job Kind = Job::Connect;
    bool Finished = false;
    // Something of the job went to the device: its end is a failure, no
    // longer a refusal.
    bool ReachedDevice = false;
    bool FlashTouched = false;  // the first erase went out
    int32_t LoaderFileSize = 0;
    int32_t FlashRoutineFileSize = 0;
    bool IdentityGarbled = false;  // a word of the identity read lacked its "g"
    std::string ImagePath;         // the image of a download
    FlashRun Flash;
    ReadBackRun ReadBack;
  };

  // A file failure that ended a handler or a pass: a line naming the file,
  // the box, and the job's end.
  void ReportFileFailure(int code);
  // Runs one pass (a job start, a notification, a slice); a file failure
  // ends it with the run-time's warning.
  template <typename Body>
  void Guarded(Body&& body);
  // Closes every open file; the first failure is thrown once all are closed.
  void CloseAllFiles();
  // What the session waits for in the current state, for the silence line.
  std::string WaitingFor() const;
  void EndSilentJob(std::chrono::milliseconds bound);
  // The port reported the line lost (`cause`): the running job ends now.
  void EndJobOnLostLine(const std::string& cause);
  // "connect" failed on the line: the port and the setup may be changed.
  void OfferConnectAgain();
  void Log(std::string_view text);
  // One device byte in the log, read as a Windows-1252 character.
  void LogDeviceChar(uint8_t value);
  // The path of one of the program's own files (see WorkingDirectory). A file
  // found under another letter case is named in the log; when no folder holds
  // it, the log names the folders searched and the path in the working folder
  // is returned, so the described failure follows.
  std::string FindOwnFile(const std::string& name);
  // The folders FindOwnFile searches, in words.
  std::string SearchedFolders() const;
  // One byte to the device; false when the port took nothing.
  bool Send(uint8_t value);
  // Asks for the next word of a read ("3"): its two bytes and the status
  // after them come back as one reply.
  bool RequestWord();
  // Marks the job as having reached the device; false unless all were taken.
  bool SendBytes(const uint8_t* bytes, uint32_t count);
  // Progress bar and the observer's progress of the running job.
  void SetProgressOf(JobPhase phase, int64_t count, int64_t total, const char* unit);
  // The observer's progress alone: the progress bar is not the phase's.
  void ReportPhase(JobPhase phase, int64_t count, int64_t total, const char* unit);
  void CloseUnfinishedReadBack();
  // A read-back ended before its report: the line names the ".part" file
  // that holds what arrived.
  void NoteUnfinishedReadBack();
  // Reads what has arrived, a byte at a time, within the dispatcher's slice.
  void Dispatch();
  void RunStateBlock(State state);
  // Moves CurrentSector to the next selected sector above it, if any.
  void NextSelectedSector();

  // The job lifecycle. BeginJob ends a job still running as cancelled.
  bool JobRunning() const { return !run_.Finished; }
  // What the session holds before its first job and after "start over".
  static JobRun FinishedRun() {
    JobRun run;
    run.Finished = true;
    return run;
  }
  void BeginJob(Job job);
  // Ends the running job (if any) with `result`.
  void FinishJob(JobResult result);
  void FinishJob(JobOutcome outcome, JobFailure failure, std::string reason, int32_t sector = -1);
  // The running job ends as cancelled (a new start, start over, shutdown).
  void CancelJob(const std::string& why);
  // A job that ends before it reaches the device: reported as refused.
  void RefuseJob(JobFailure failure, std::string reason);
  // A job start refused outright, while another job keeps running.
  void RefuseStart(Job job, JobFailure failure, std::string reason);
  // The job cannot run on a closed port: said in the log, refused.
  bool RefuseUnlessConnected();
  FlashRun& Flash() { return run_.Flash; }

  // Connection and upload.
  void DoStartConnect();
  void State0Idle();
  void StateTableExchange();
  void EndTableExchange();
  void State1Upload();
  void UploadPairs(SeqFile& file, int32_t pairs);
  void State16Or17LogChar();

  // Identity read.
  void DoStartIdentify();
  void State7Or8StoreByte();
  void State9WordStatus();
  void State10Evaluate();

  // Read-back.
  void DoStartReadBack(const std::string& destination);
  void State2NextSector();
  void State3Or4DataByte();
  void State5WordStatus();
  void State6Report();
  void SendReadSectorCommand();
  // The upload files and "empty", wherever they are found, as files of the
  // program's own that no destination may be.
  void RegisterOwnFiles();

  // Erase and programming.
  void DoStartUpdate(const ImagePlan& image);
  void DoStartEraseOnly();
  bool StartErasePhase();
  void State11NextErase();
  void State12Erased();
  void State13NextProgram();
  // Starts sending the current sector's data, a slice at once.
  void BeginSectorData();
  // Sends the next slice; false when the port stopped taking bytes.
  bool SendSectorSlice();
  void EndSectorSendFailed();
  void State14ProgramResult();
  void State15FinalReport();
  void EndWithFaultySectorList();
  // The image against the device, as a refusal names them.
  std::string ImageAndDevice(const std::string& product, const std::string& hardware) const;
  // After a refused image nothing was written: "download" takes another one.
  void OfferAnotherImage();
  // Everything the update will do, proven before the first erase; false
  // (the image refused, nothing sent) when a check fails.
  bool CheckBeforeErase(const ImageIdentity& image, std::span<const uint8_t> patched);
  void ShowEndOfUpdate();
  // The final report of a flash job: "<done>" or the reasons it is not.
  void ReportEndOfFlashJob();

  // Verify after download.
  bool VerifyRunning() const;
  void StateVerifyPrompt();
  void StateVerifyWordByte();
  void StateVerifyWordStatus();
  void SendVerifyReadCommand();
  // The word at the read position lacks its "g" or "f".
  void VerifyLostStep();
  // The current sector is read once more, from its start, once the device
  // is back at its prompt; `why` goes to the log.
  void ReadVerifySectorAgain(const std::string& why);
  void ReportVerifyResult();

  SessionPort& port_;
  JobObserver& observer_;
  WidgetView& view_;
  Variables vars_;
  Files files_;
  TableExchange table_;
  // Never empty: before the first job it is a finished one.
  JobRun run_ = FinishedRun();
  // The firmware image of the last download: never a destination.
  std::string lastImage_;
  // When the device last sent a byte or a handler last sent it something.
  std::chrono::steady_clock::time_point lastProgress_{};
  // The file operation under way, for the line that goes with "E/A-Fehler";
  // empty where the failure has already been told.
  std::string fileStep_;
  // Why a file the job needs could not be opened, said whole (no "failed:"):
  // the failure that follows is this one.
  std::string fileCause_;
};
