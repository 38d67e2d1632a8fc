// The update history: one JSON line per update, erase and read-back, from
// every front end, appended to $XDG_STATE_HOME/updater/history.jsonl (else
// ~/.local/state/updater/history.jsonl). A production line answers "which
// serial number got which firmware, and when" from it.
//
// Appends are whole lines written at once under an exclusive lock, so two
// processes (two command lines, or a command line and the window) never
// interleave. A history that cannot be written is reported back as a warning
// for the caller to show; it never fails the job it records.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "firmware/identity.h"
#include "platform/own_files.h"
#include "session/job.h"

enum class VerifyResult : uint8_t {
  NotRun,    // no verify was asked for, or the job ended before it
  Passed,    // every programmed byte read back as sent
  Mismatch,  // a byte read back differs: Address, Written and Read tell which
};

const char* VerifyResultName(VerifyResult result);

struct HistoryRecord {
  std::chrono::system_clock::time_point Time = std::chrono::system_clock::now();
  std::string FrontEnd;                    // "cli" or "window"
  std::string Job;                         // "update", "erase" or "read-back"
  std::string Port;                        // as the operator named it: "COM1" or a device path
  std::string DeviceFile;                  // the device file that was opened
  std::optional<DeviceIdentity> Identity;  // the device's identity, when it was read
  std::string ImagePath;    // the image programmed or the file read into; empty for none
  std::string ImageSha256;  // lower-case hex; empty when unknown
  std::string Outcome;      // "ok", "failed" or "refused"
  std::string Reason;       // why it did not end well; empty for "ok"
  VerifyResult Verify = VerifyResult::NotRun;
  int64_t VerifyAddress = -1;  // Mismatch: the first differing address
  int VerifyWritten = -1;      // Mismatch: the byte sent there
  int VerifyRead = -1;         // Mismatch: the byte read back
};

// The name a job has in the history ("update", "erase", "read-back"); nothing
// for the jobs that change and read nothing (connect, verify hardware).
std::optional<std::string> HistoryJobName(Job job);

// Fills Outcome, Reason and the verify fields from a job's end. `verifyAsked`:
// the download was to verify after programming.
void TakeJobResult(HistoryRecord& record, const JobResult& result, bool verifyAsked);

// The history file as this user's environment places it; empty when neither
// XDG_STATE_HOME nor HOME is set to an absolute path.
std::string HistoryFilePath();

// The record as one line of JSON, without the line end.
std::string HistoryLine(const HistoryRecord& record);

// Appends the record to `path` (HistoryFilePath() when empty), making the
// folder if needed. True when the line is in the file; otherwise `warning`
// tells why, naming the file.
bool AppendHistory(const HistoryRecord& record, std::string* warning,
                   const std::string& path = std::string());

// Notes the files the program keeps in this user's state folder (the history
// and the saved identities) in `own`, so that no destination the operator
// names is one of them. AppendHistory notes the file it writes to itself.
void AddStateFilesTo(OwnFiles& own);

// A time as UTC in ISO 8601 with milliseconds: 2026-12-08T11:05:00.123Z.
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// SHA-256 of a regular file's bytes as lower-case hex, read through the
// program's safe open (a FIFO or a device is refused at once); nothing when
// it cannot be read (`why` then names the file and the cause).
std::optional<std::string> FileSha256(const std::string& path, std::string* why = nullptr);

// SHA-256 of bytes already read (the image as planned: hashed from the
// bytes that are programmed, never from a second open of the file).
std::optional<std::string> BytesSha256(std::span<const uint8_t> bytes, std::string* why = nullptr);
