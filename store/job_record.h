// One record per job, the same from every front end: what a production line
// needs to trace a unit (which station and operator, which image, which
// identity went in and where it came from, how far each phase got) and what
// the record store keeps, pushes to the line's database and prints for
// `updater-cli history`. Its JSON object is also the per-port part of the
// report, so the field names never change meaning; RecordSchema counts the
// versions of the shape (docs/cli.md, "Record schema").
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/identity.h"

constexpr int RecordSchema = 1;

using RecordTime = std::chrono::system_clock::time_point;

enum class RecordFrontEnd : uint8_t { Cli, Window, Station };
enum class RecordJob : uint8_t { Update, Erase, ReadBack, Identify, Connect };
enum class RecordPhase : uint8_t { Connect, Identify, Erase, Program, Verify };
constexpr size_t RecordPhaseCount = 5;

// Where the identity that went into the board came from: the board itself,
// an identity saved from an earlier read (the board had lost its own), or a
// new one from the serial-number counter. None: no identity was involved.
enum class IdentitySource : uint8_t { None, Device, Saved, New };

// LineLost: the verify ran, but the line lost step in it twice: what the
// flash holds could not be compared.
enum class VerifyState : uint8_t { NotRun, Passed, Mismatch, LineLost };

// Cancelled: the operator or a signal stopped the job; the flash may be half
// done, which FlashTouched tells.
enum class RecordOutcome : uint8_t { Ok, Failed, Refused, Cancelled };

// The words of the JSON and CSV forms ("read-back", "not-run", ...), and
// back; nothing for a word that is none of them.
const char* Word(RecordFrontEnd value);
const char* Word(RecordJob value);
const char* Word(RecordPhase value);
const char* Word(IdentitySource value);
const char* Word(VerifyState value);
const char* Word(RecordOutcome value);
std::optional<RecordOutcome> OutcomeFromWord(std::string_view word);
std::optional<RecordJob> JobFromWord(std::string_view word);

// A phase that was not run has neither time; one cut short by the job's end
// may have a start only.
struct PhaseSpan {
  std::optional<RecordTime> Started;
  std::optional<RecordTime> Ended;
};

// The file of the job: the image programmed (update) or the file read into
// (read-back, where the identity fields stay empty).
struct RecordImage {
  std::string Path;  // absolute
  int64_t Size = 0;
  std::string Sha256;  // lower-case hex
  std::string ProductName;
  std::string HardwareVersion;
  std::string FirmwareVersion;  // the image's FIRMWAREVER record; empty when it has none
  std::vector<int> Sectors;     // the sectors it lists, ascending
};

// A fresh random UUID (version 4), lower-case: "1b4e28ba-2fa1-41d2-883f-0016d3cca427".
std::string NewUuid();

struct JobRecord {
  std::string Uuid = NewUuid();
  std::string Station;
  std::string Operator;
  std::string Host;
  std::string ProgramVersion;
  RecordFrontEnd FrontEnd = RecordFrontEnd::Cli;
  RecordJob Job = RecordJob::Update;
  std::string Port;           // as the operator named it: "COM1" or a device path
  std::string DeviceFile;     // the device file that was opened
  std::string AdapterName;    // the adapter's lasting name (/dev/serial/by-id/...), where known
  std::string AdapterSerial;  // the USB adapter's serial number, where known
  RecordTime Started{};
  RecordTime Ended{};
  std::array<PhaseSpan, RecordPhaseCount> Phases{};
  std::optional<DeviceIdentity> IdentityBefore;   // as read from the board, or the saved one
  IdentitySource Source = IdentitySource::None;   // of the identity written
  std::optional<DeviceIdentity> IdentityWritten;  // what the update put into the image
  bool ForcedIdentity = false;                    // --force-identity overrode the refusal
  std::optional<RecordImage> Image;
  VerifyState Verify = VerifyState::NotRun;
  int64_t VerifyAddress = -1;  // Mismatch: the first differing address
  int VerifyWritten = -1;      // Mismatch: the byte sent there
  int VerifyRead = -1;         // Mismatch: the byte read back
  int VerifySector = -1;       // Mismatch: its sector, -1 when unknown
  RecordOutcome Outcome = RecordOutcome::Ok;
  std::string FailureCause;   // a short word ("device-silent"); empty for ok
  std::string FailureReason;  // the plain-English reason the operator saw
  std::optional<int> ExitCode;
  // The first erase was sent: from then on the board may hold anything
  // between its old and its new firmware.
  bool FlashTouched = false;

  PhaseSpan& Phase(RecordPhase phase) { return Phases[static_cast<size_t>(phase)]; }
  const PhaseSpan& Phase(RecordPhase phase) const { return Phases[static_cast<size_t>(phase)]; }
  double Seconds() const;
  // The board this record is about, for looking it up by serial number: the
  // identity written when there is one, else the one before.
  const DeviceIdentity* Board() const;
};

// A time as UTC in ISO 8601 with milliseconds: "2026-12-08T11:05:00.123Z".
std::string UtcText(RecordTime time);
// The reverse, taking what an operator types for --since as well: a date
// ("2026-12-08"), a time to the minute or second, with "T" or a space, with
// or without milliseconds and "Z". Always UTC. Nothing when it is none.
std::optional<RecordTime> ParseUtcText(std::string_view text);

nlohmann::ordered_json RecordToJson(const JobRecord& record);
// A record from its JSON object (as stored or printed); every field is
// checked, so a row changed by hand is refused rather than half read.
std::optional<JobRecord> RecordFromJson(const nlohmann::json& json, std::string* why = nullptr);
// The JSON object on one line, as the store keeps it. Device strings may hold
// bytes that are no UTF-8: they become U+FFFD.
std::string RecordJsonText(const JobRecord& record);

// The CSV form: one header line and one line per record (RFC 4180 quoting,
// CRLF line ends), the same fields as the JSON flattened.
std::string RecordCsvHeader();
std::string RecordCsvLine(const JobRecord& record);

// "DEMO165, hardware 1.0a, serial 4711, brand label LABEL-7"
std::string DescribeBoard(const DeviceIdentity& identity);
