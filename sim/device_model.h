// The device as the program meets it on the download wire: the C165
// bootstrap loader, then the flash routine that the program uploads, in
// front of a 29F160D. Pure bytes in, bytes out; no I/O, no clock, so it can be
// driven by tests and by the pty runner alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "flash.h"

namespace sim {

// Bytes on the wire. The replies are the flash routine's own vocabulary.
constexpr uint8_t BootStart = 0x00;           // host wakes the bootstrap loader
constexpr uint8_t BootIdentify = 0xD5;        // the loader's answer: a C165 is here
constexpr uint8_t CmdErase = '0';             // followed by the sector number
constexpr uint8_t CmdProgram = '1';           // followed by the sector number and its data
constexpr uint8_t CmdReadSector = '2';        // followed by the sector number, then "3"
constexpr uint8_t CmdNextWord = '3';          // send the (next) word
constexpr uint8_t CmdStop = '4';              // stop sending words
constexpr uint8_t CmdReadAddress = '5';       // followed by 3 address bytes, then "3"
constexpr uint8_t CmdTableCount = '6';        // send the sector-table count
constexpr uint8_t CmdTableEntry = '7';        // followed by the entry index
constexpr uint8_t ReplyReady = 'a';           // waiting for a command
constexpr uint8_t ReplyErased = 'b';          // sector erased
constexpr uint8_t ReplyProgramFail = 'd';     // programming of the sector failed
constexpr uint8_t ReplyProgrammed = 'e';      // sector programmed
constexpr uint8_t ReplyEndOfRead = 'f';       // last word sent, the read is over
constexpr uint8_t ReplyWordSent = 'g';        // word sent, "3" or "4" expected
constexpr uint8_t ReplyMessage = 'h';         // two characters for the log follow
constexpr uint8_t ReplyTable = 'j';           // the sector-table exchange follows
constexpr uint8_t TableAnnounceExtra = 0x01;  // the byte after "j"; not interpreted
constexpr uint8_t TablePrompt = '?';          // the routine asks for the next "7"

// The count byte N the routine sends: N + 2 table entries follow.
constexpr uint8_t DefaultTableCount = SectorCount - 1;

struct StrayByte {
  uint64_t AfterSent = 0;  // goes out once this many bytes have been sent
  uint8_t Value = 0;
};

// One bit of a sector's program data turned over on its way into the flash:
// the routine reports the sector as programmed, yet it holds the wrong byte.
struct BitFlip {
  int Sector = 0;
  uint32_t Offset = 0;  // byte offset inside the sector
  uint8_t Bit = 0;      // 0 to 7
};

// A device that stops answering in the middle of a job.
enum class StopPhase {
  Erase,    // Value: sector; it is erased, its "b" never comes
  Program,  // Value: sector; half its data is programmed, then no more
  Read,     // Value: words sent for read-sector commands before the stop
};

struct StopFault {
  StopPhase Phase = StopPhase::Erase;
  uint64_t Value = 0;
  bool HangUp = false;  // the line closes too (wire pulled), not just silence
};

// Misbehaviour on request. Counts run from the last power-up.
struct Faults {
  std::optional<uint64_t> SilentAfterSent;
  std::optional<uint64_t> SilentAfterReceived;
  std::optional<uint64_t> HangUpAfterSent;
  std::optional<uint64_t> HangUpAfterReceived;
  std::vector<StrayByte> Strays;
  std::set<int> FailingSectors;
  std::optional<uint8_t> TableCount;
  std::vector<BitFlip> BitFlips;
  std::vector<StopFault> Stops;
  // Bytes of "h" messages (3 each, rounded up) the routine sends after the
  // sector table, before its first "a".
  uint64_t FloodBytes = 0;
  // How long each sector erase takes, in ms, before its "b": a real 64 KiB
  // sector may take seconds. 0 answers at once. Kept by the runner, which
  // holds the reply back; the model only marks where.
  uint32_t EraseMs = 0;
  // The line's rate, 10 bits per byte; 0 for none. Used by the runner, not
  // the model. BitRate paces the device's replies, InputBitRate the bytes
  // it takes from the program (a real line holds those back too).
  uint32_t BitRate = 0;
  uint32_t InputBitRate = 0;
};

enum class UploadState {
  AwaitingStart,     // nothing yet, or bytes before the start byte
  ReceivingLoader,   // identification sent, loader bytes arriving
  ReceivingRoutine,  // loader complete, flash routine arriving
  Accepted,          // both arrived as expected; the routine runs
  LoaderMismatch,    // the chip has crashed on a wrong loader
  RoutineMismatch,   // ... or on a wrong flash routine
};

const char* UploadStateName(UploadState state);

struct DeviceConfig {
  // Decoded contents of the upload files the program is expected to send.
  std::vector<uint8_t> Loader;
  std::vector<uint8_t> Routine;
  // Two characters sent as "h" message before the routine's first "a".
  std::optional<std::array<uint8_t, 2>> Message;
  Faults InitialFaults;
};

class DeviceModel {
 public:
  DeviceModel(DeviceConfig config, Flash flash);

  // Handles bytes from the host; appends the device's replies to `out`.
  void Feed(std::span<const uint8_t> in, std::vector<uint8_t>& out);

  // Back to the bootstrap loader; the flash keeps its content.
  void PowerCycle(bool clearFaults);
  // False: no board on the line (an empty slot, or one without power).
  // Bytes still arrive; nothing answers them. Takes effect at once.
  void SetPresent(bool present);
  bool Present() const { return present_; }
  void SetFaults(Faults faults);
  const Faults& CurrentFaults() const { return faults_; }

  UploadState Upload() const { return upload_; }
  // What went wrong with the upload, empty while nothing did.
  const std::string& UploadProblem() const { return uploadProblem_; }
  // True once an injected fault has silenced the device.
  bool Silent() const { return silent_; }
  // True once a hang-up fault is due: the runner closes the line.
  bool HangUpDue() const { return hangUpDue_; }
  // True while the flash routine waits for a command.
  bool WaitingForCommand() const { return phase_ == Phase::Command; }
  uint64_t BytesSent() const { return sent_; }
  uint64_t BytesReceived() const { return received_; }
  // Start bytes in a row, since the last power-up, that no bootstrap loader
  // could answer: the routine waiting for a command, no board on the line,
  // or a board silent from its power-up. What a station sends while it waits
  // for the next board; any other byte starts the count again.
  uint64_t UnansweredStartBytes() const { return unansweredStarts_; }

  // Notable happenings since the last call, for logs and transcripts.
  std::vector<std::string> TakeEvents();
  // Where the output of the last Feed must wait: before its byte `Offset`,
  // for `Ms` from the moment the bytes were fed (an erase at work).
  struct Hold {
    std::size_t Offset = 0;
    uint32_t Ms = 0;
  };
  std::vector<Hold> TakeHolds();
  // A happening of the line around the device (a board put on it, the port
  // closed), told in turn with the device's own.
  void Note(std::string text) { Event(std::move(text)); }

  Flash& FlashMemory() { return flash_; }
  const Flash& FlashMemory() const { return flash_; }

 private:
  enum class Phase {
    BootWaitStart,
    BootLoader,
    BootRoutine,
    Crashed,
    TableWaitCountRequest,
    TableWaitEntryRequest,
    TableWaitEntryIndex,
    Command,
    EraseSector,
    ProgramSector,
    ProgramData,
    ReadSector,
    ReadAddress,
    ReadWaitFirst,
    ReadWaitNext,
  };

  void Step(uint8_t byte);
  void NoteIgnored(std::span<const uint8_t> in);
  std::size_t TakeProgramData(std::span<const uint8_t> in);
  void Emit(uint8_t byte);
  void Put(uint8_t byte);
  void EmitStrays();
  void CheckLimits(bool afterReceiving);
  void StartRoutine();
  void SendTableEntry(uint8_t index);
  void SendWord();
  void FinishProgramming();
  void Crash(UploadState state, std::string problem);
  // True (and the device stopped) when a stop fault is due at this point.
  bool StopFaultHits(StopPhase phase, uint64_t value);
  void SendFlood();
  void Event(std::string text);

  DeviceConfig config_;
  std::vector<uint8_t> expectedLoader_;
  Flash flash_;
  Faults faults_;
  std::vector<StrayByte> strays_;  // sorted by AfterSent
  std::vector<Hold> holds_;        // of the current Feed
  std::size_t nextStray_ = 0;

  Phase phase_ = Phase::BootWaitStart;
  UploadState upload_ = UploadState::AwaitingStart;
  std::string uploadProblem_;
  std::size_t uploadIndex_ = 0;
  int tableEntriesLeft_ = 0;
  int sector_ = 0;
  uint32_t dataOffset_ = 0;
  bool programOk_ = true;
  uint32_t address_ = 0;
  int addressBytes_ = 0;
  uint32_t readPos_ = 0;
  uint32_t readEnd_ = 0;
  bool readingSector_ = false;
  uint64_t sectorWordsSent_ = 0;  // words sent for read-sector commands

  bool present_ = true;
  bool silent_ = false;
  bool hangUpDue_ = false;
  uint64_t unansweredStarts_ = 0;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
  std::vector<uint8_t>* out_ = nullptr;
  std::vector<std::string> events_;
};

}  // namespace sim
