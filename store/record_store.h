// The record store: every job's record, the identities read from boards and
// the serial-number counters, kept first in a local SQLite file and, for a
// production line, in a PostgreSQL database that every station shares.
//
// Local first, nothing lost: a job's record goes into the local file before
// anything else, and a line database that is down, slow or refusing never
// fails a job nor holds it longer than StoreConfig::LineBound. What could not
// be pushed waits in the local file, marked, for the next job or Sync(); a
// push is keyed by the record's UUID, so a retry never doubles a row.
//
// One schema for both databases, versioned: migrations run when a store is
// opened (and when a station first reaches the line database). The first
// open of the local store takes over the history.jsonl and the saved
// identity files found beside it, once.
//
// Every call is safe from several threads at once (the ports of one run) and
// from several processes (four command lines and the window).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/identity.h"
#include "job_record.h"

struct StoreConfig {
  // The local SQLite file; empty: DefaultStorePath().
  std::string LocalPath;
  // The line database as a URL (postgresql://...) or libpq conninfo; empty:
  // none (LineUrlFrom() reads --db and UPDATER_DB).
  std::string LineUrl;
  // This station's name, kept with saved identities and reserved numbers;
  // empty: the host name.
  std::string Station;
  // The most a job's end (Record, SaveIdentity, CanFinishWith, the serial
  // calls) waits for the line database.
  std::chrono::milliseconds LineBound{2000};
};

// $XDG_STATE_HOME/updater/updater.db (else ~/.local/state/updater/...; on
// Windows %LOCALAPPDATA%\updater\updater.db); empty when the environment
// names no state folder.
std::string DefaultStorePath();
// The line database the operator asked for: `option` (--db) when given,
// else the environment variable UPDATER_DB, else none.
std::string LineUrlFrom(const std::string& option);
// False on a build without PostgreSQL (the Windows one).
bool LineDatabaseSupported();
// What a record names by default: the host name, and the login.
std::string DefaultStation();
std::string DefaultOperator();

struct RecordFilter {
  std::optional<uint32_t> Serial;
  std::string Product;              // empty: any
  std::string Station;              // empty: any
  std::string Port;                 // empty: any
  std::optional<RecordTime> Since;  // started at or after
  std::optional<RecordOutcome> Outcome;
  std::optional<RecordJob> Job;
  size_t Limit = 0;  // 0: every match; else only the newest Limit
};

// What a question to the store found. When the line database was asked for
// but not reached, the answer comes from this computer's store and Note says
// so (it names the database and the cause).
template <typename Item>
struct StoreAnswer {
  bool Ok = false;
  std::vector<Item> Items;
  bool FromLine = false;
  std::string Note;
  std::string Error;  // Ok false: why nothing could be read
};

struct StoredIdentity {
  DeviceIdentity Identity;
  std::vector<uint8_t> Block;  // the raw identity block as read, at most 4096 bytes
  std::string ReadAt;          // UTC, as UtcText()
  std::string Station;
  std::string Port;
};

struct SyncResult {
  bool Ok = false;      // every waiting row reached the line database
  int64_t Pushed = 0;   // rows this call pushed
  int64_t Waiting = 0;  // rows still waiting afterwards
  std::string Error;    // why some wait
};

// The newest update of a board that reached its flash (a refused one
// changed nothing there).
struct LastUpdate {
  std::string Uuid;
  std::string Station;
  std::string Port;
  RecordTime Ended{};
  RecordOutcome Outcome = RecordOutcome::Ok;
  bool Finished = false;  // it ended ok: the board carries that identity
};

enum class FinishVerdict : uint8_t {
  Unfinished,    // the last update was interrupted after the first erase: allowed
  Finished,      // an update with this serial number finished: refused
  NeverUpdated,  // no interrupted update is recorded: refused
  Unknown,       // the line database could not be asked: refused
};

struct FinishCheck {
  FinishVerdict Verdict = FinishVerdict::Unknown;
  std::optional<LastUpdate> Last;  // the update that decided, when there is one
  std::string Reason;              // plain English, naming the station and time
  bool Allowed() const { return Verdict == FinishVerdict::Unfinished; }
};

enum class ReserveStatus : uint8_t {
  Reserved,
  Exhausted,    // every number of the range is given out
  Unavailable,  // the counter could not be reached or the range is wrong
};

struct SerialReservation {
  ReserveStatus Status = ReserveStatus::Unavailable;
  uint32_t Serial = 0;
  std::string Reason;  // not Reserved: why
};

class RecordStore {
 public:
  // Opens (and makes, or migrates) the local store. Fails only when the
  // local store cannot be had, or a line database is asked for on a build
  // without PostgreSQL; the line database itself is reached when needed.
  static std::unique_ptr<RecordStore> Open(const StoreConfig& config, std::string* why);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  const std::string& LocalPath() const;
  const std::string& Station() const;
  bool HasLine() const;
  // What this open took over from history.jsonl and identities/ ("history.jsonl:
  // 120 jobs taken over, 2 lines skipped"); empty when it took nothing.
  const std::string& ImportNote() const;

  // Keeps a job's record: locally, then pushed with everything waiting. Never
  // fails the job; each warning names the file or database and the cause.
  std::vector<std::string> Record(const JobRecord& record);
  // Pushes every waiting row to the line database.
  SyncResult Sync();
  // Records matching `filter`, oldest first; from the line database when one
  // is configured and reachable.
  StoreAnswer<JobRecord> Query(const RecordFilter& filter);

  // Keeps an identity read from a board, keyed by product and serial number
  // (a newer read replaces an older one). An identity without a serial
  // number cannot be told apart and is not kept (a warning says so).
  std::vector<std::string> SaveIdentity(const DeviceIdentity& identity,
                                        const std::vector<uint8_t>& block, const std::string& port);
  // The saved identities, newest read first; all of them, or those of a
  // product and/or serial number.
  StoreAnswer<StoredIdentity> Identities(const std::string& product = {},
                                         std::optional<uint32_t> serial = {});
  // The newest update of serial `serial` of `product` that reached the flash,
  // from the line database and this computer's store (the newer wins: a
  // record may still wait here). `note` tells when the line was not reached.
  std::optional<LastUpdate> LastUpdateOf(const std::string& product, uint32_t serial,
                                         std::string* note = nullptr);
  // Whether a saved identity may finish a board: only while its serial
  // number's last update is unfinished (failed or cancelled after the first
  // erase). Anything else is refused, naming the update that finished it.
  FinishCheck CanFinishWith(const std::string& product, uint32_t serial);

  // The next free serial number of [from, to] for `product`: a number given
  // back by ReleaseSerial first, else the lowest never given out that no
  // board is known to carry. From the line database alone when one is
  // configured (stations must never collide), else from the local store.
  SerialReservation ReserveSerial(const std::string& product, uint32_t from, uint32_t to);
  // The number's identity sector is about to be programmed: from now on a
  // board may carry it, and it is never handed out again.
  bool MarkSerialUsed(const std::string& product, uint32_t serial, std::string* why);
  // A reserved number that no board got (refused or failed before
  // programming) goes back to the range. A used one never does.
  bool ReleaseSerial(const std::string& product, uint32_t serial, std::string* why);

 private:
  struct State;
  explicit RecordStore(std::unique_ptr<State> state);
  std::unique_ptr<State> s_;
};
