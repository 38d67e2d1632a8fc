#include "record_store.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "import.h"
#include "sql_connection.h"
#include "store_os.h"

namespace fs = std::filesystem;

namespace {

constexpr char StoreFolderName[] = "updater";
constexpr char StoreFileName[] = "updater.db";
constexpr char HistoryFileName[] = "history.jsonl";
constexpr char IdentityFolderName[] = "identities";
constexpr size_t IdentityFileMax = 64 * 1024;  // a saved identity file is about 9 KiB

// A push or a question that nobody waits on at a board (sync, history)
// still gives each step a bound, so that a dead server is named rather
// than waited for.
constexpr std::chrono::seconds StepBound{10};
constexpr size_t PushBatch = 100;  // rows per INSERT to the line database

// The schema, one migration per version; never edit one that has shipped,
// add the next. Every statement is taken by both SQLite and PostgreSQL.
// The pending_* tables matter in the local store only: the rows not yet in
// the line database.
const std::vector<std::vector<const char*>> Migrations = {
    {
        R"(CREATE TABLE job_records (
             uuid TEXT PRIMARY KEY,
             record_schema INTEGER NOT NULL,
             started TEXT NOT NULL,
             ended TEXT NOT NULL,
             station TEXT NOT NULL,
             operator_name TEXT NOT NULL,
             front_end TEXT NOT NULL,
             job TEXT NOT NULL,
             port TEXT NOT NULL,
             product TEXT,
             serial BIGINT,
             outcome TEXT NOT NULL,
             flash_touched INTEGER NOT NULL,
             exit_code INTEGER,
             record_json TEXT NOT NULL))",
        "CREATE INDEX job_records_board ON job_records (product, serial, ended)",
        "CREATE INDEX job_records_serial ON job_records (serial, started)",
        "CREATE INDEX job_records_station ON job_records (station, started)",
        "CREATE INDEX job_records_started ON job_records (started)",
        R"(CREATE TABLE identities (
             product TEXT NOT NULL,
             serial BIGINT NOT NULL,
             hardware TEXT NOT NULL,
             brand TEXT NOT NULL,
             block TEXT NOT NULL,
             read_at TEXT NOT NULL,
             station TEXT NOT NULL,
             port TEXT NOT NULL,
             PRIMARY KEY (product, serial)))",
        R"(CREATE TABLE serial_counters (
             product TEXT NOT NULL,
             range_from BIGINT NOT NULL,
             range_to BIGINT NOT NULL,
             next_serial BIGINT NOT NULL,
             PRIMARY KEY (product, range_from, range_to)))",
        R"(CREATE TABLE serial_numbers (
             product TEXT NOT NULL,
             serial BIGINT NOT NULL,
             state TEXT NOT NULL CHECK (state IN ('reserved', 'used', 'released')),
             station TEXT NOT NULL,
             reserved_at TEXT NOT NULL,
             used_at TEXT,
             released_at TEXT,
             PRIMARY KEY (product, serial)))",
        "CREATE TABLE pending_records (uuid TEXT PRIMARY KEY)",
        R"(CREATE TABLE pending_identities (
             product TEXT NOT NULL,
             serial BIGINT NOT NULL,
             read_at TEXT NOT NULL,
             PRIMARY KEY (product, serial)))",
        "CREATE TABLE store_meta (meta_key TEXT PRIMARY KEY, meta_value TEXT NOT NULL)",
    },
};
const int SchemaVersion = static_cast<int>(Migrations.size());

// The columns of job_records in their order, and which hold numbers.
struct Column {
  const char* Name;
  bool Number;
};
constexpr Column RecordColumns[] = {
    {"uuid", false},         {"record_schema", true},  {"started", false},     {"ended", false},
    {"station", false},      {"operator_name", false}, {"front_end", false},   {"job", false},
    {"port", false},         {"product", false},       {"serial", true},       {"outcome", false},
    {"flash_touched", true}, {"exit_code", true},      {"record_json", false},
};
constexpr size_t RecordColumnCount = std::size(RecordColumns);

constexpr Column IdentityColumns[] = {
    {"product", false}, {"serial", true},   {"hardware", false}, {"brand", false},
    {"block", false},   {"read_at", false}, {"station", false},  {"port", false},
};
constexpr size_t IdentityColumnCount = std::size(IdentityColumns);

std::string ColumnList(const Column* columns, size_t count, const char* prefix = "") {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i) text += ", ";
    text += prefix;
    text += columns[i].Name;
  }
  return text;
}

// "($1, $2, $3), ($4, $5, $6)" for `rows` rows of `count` values.
std::string Placeholders(size_t rows, size_t count) {
  std::string text;
  size_t n = 0;
  for (size_t r = 0; r < rows; ++r) {
    text += r ? ", (" : "(";
    for (size_t c = 0; c < count; ++c) {
      if (c) text += ", ";
      text += '$';
      text += std::to_string(++n);
    }
    text += ")";
  }
  return text;
}

// A text as a column can hold it in both databases: valid UTF-8 (device
// strings may be anything) without NUL bytes. Lookups clean their keys the
// same way, so a board is found under the name it was stored with.
std::string Clean(const std::string& text) {
  const std::string quoted =
      nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string clean = nlohmann::json::parse(quoted).get<std::string>();
  std::string out;
  for (const char c : clean) {
    if (c == '\0') {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<SqlValue> RecordValues(const JobRecord& r) {
  const DeviceIdentity* board = r.Board();
  return {
      r.Uuid,
      int64_t{RecordSchema},
      UtcText(r.Started),
      UtcText(r.Ended),
      Clean(r.Station),
      Clean(r.Operator),
      std::string(Word(r.FrontEnd)),
      std::string(Word(r.Job)),
      Clean(r.Port),
      board ? SqlValue(Clean(board->ProductName)) : SqlValue(),
      board && board->SerialNumberFound ? SqlValue(int64_t{board->SerialNumber}) : SqlValue(),
      std::string(Word(r.Outcome)),
      int64_t{r.FlashTouched ? 1 : 0},
      r.ExitCode ? SqlValue(int64_t{*r.ExitCode}) : SqlValue(),
      RecordJsonText(r),
  };
}

// A row read from one database, as parameters for the other.
std::vector<SqlValue> RowValues(const SqlRow& row, const Column* columns, size_t count) {
  std::vector<SqlValue> values;
  for (size_t i = 0; i < count && i < row.size(); ++i) {
    if (!row[i]) {
      values.emplace_back();
    } else if (columns[i].Number) {
      values.emplace_back(static_cast<int64_t>(std::strtoll(row[i]->c_str(), nullptr, 10)));
    } else {
      values.emplace_back(*row[i]);
    }
  }
  return values;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : bytes) {
    text += Digits[b >> 4];
    text += Digits[b & 0xF];
  }
  return text;
}

std::vector<uint8_t> FromHex(const std::string& text) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(nibble(text[i]) * 16 + nibble(text[i + 1])));
  }
  return bytes;
}

std::string NowText() {
  return UtcText(std::chrono::system_clock::now());
}

std::string ShortTime(RecordTime time) {
  // "2026-12-08 11:05:00 UTC": for sentences an operator reads.
  const std::string text = UtcText(time);
  return text.substr(0, 10) + " " + text.substr(11, 8) + " UTC";
}

std::string BoardName(const std::string& product, uint32_t serial) {
  return "serial " + std::to_string(serial) + " of " + product;
}

// Brings a database to this program's schema. A database made by a newer
// program is refused: its rows may mean what this one cannot know.
bool Migrate(SqlConnection& db, std::string* why) {
  SqlResult version;
  std::string ignored;
  if (db.Run("SELECT MAX(version) FROM schema_version", {}, &version, &ignored) &&
      !version.Rows.empty() && version.Rows[0][0] &&
      std::atoi(version.Rows[0][0]->c_str()) == SchemaVersion) {
    return true;
  }
  if (!db.BeginWriting(why)) return false;
  auto fail = [&](const std::string& cause) {
    db.Rollback();
    if (why && !cause.empty()) *why = cause;
    return false;
  };
  std::string cause;
  if (*db.MigrationLock() && !db.Run(db.MigrationLock(), {}, &cause)) return fail(cause);
  if (!db.Run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, "
              "applied TEXT NOT NULL)",
              {}, &cause) ||
      !db.Run("SELECT MAX(version) FROM schema_version", {}, &version, &cause)) {
    return fail(cause);
  }
  const int current =
      version.Rows.empty() || !version.Rows[0][0] ? 0 : std::atoi(version.Rows[0][0]->c_str());
  if (current > SchemaVersion) {
    return fail(db.Name() + " was made by a newer Updater (schema " + std::to_string(current) +
                "; this one knows up to " + std::to_string(SchemaVersion) +
                "): update this program");
  }
  for (int v = current + 1; v <= SchemaVersion; ++v) {
    for (const char* statement : Migrations[static_cast<size_t>(v - 1)]) {
      if (!db.Run(statement, {}, &cause)) return fail(cause);
    }
    if (!db.Run("INSERT INTO schema_version (version, applied) VALUES ($1, $2)",
                {int64_t{v}, NowText()}, &cause)) {
      return fail(cause);
    }
  }
  if (!db.Commit(&cause)) return fail(cause);
  return true;
}

bool InsertRecords(SqlConnection& db, const std::vector<std::vector<SqlValue>>& rows,
                   std::string* why) {
  std::vector<SqlValue> values;
  for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
  return db.Run("INSERT INTO job_records (" + ColumnList(RecordColumns, RecordColumnCount) +
                    ") VALUES " + Placeholders(rows.size(), RecordColumnCount) +
                    " ON CONFLICT (uuid) DO NOTHING",
                values, why);
}

// A newer read of the same board replaces an older one, whichever station
// pushes first.
bool UpsertIdentities(SqlConnection& db, const std::vector<std::vector<SqlValue>>& rows,
                      std::string* why) {
  std::vector<SqlValue> values;
  for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
  return db.Run("INSERT INTO identities (" + ColumnList(IdentityColumns, IdentityColumnCount) +
                    ") VALUES " + Placeholders(rows.size(), IdentityColumnCount) +
                    " ON CONFLICT (product, serial) DO UPDATE SET hardware = excluded.hardware, "
                    "brand = excluded.brand, block = excluded.block, read_at = excluded.read_at, "
                    "station = excluded.station, port = excluded.port "
                    "WHERE identities.read_at < excluded.read_at",
                values, why);
}

std::optional<LastUpdate> LastUpdateIn(SqlConnection& db, const std::string& product,
                                       uint32_t serial, std::string* why) {
  SqlResult found;
  if (!db.Run("SELECT uuid, station, port, ended, outcome FROM job_records "
              "WHERE product = $1 AND serial = $2 AND job = 'update' "
              "AND (flash_touched = 1 OR outcome = 'ok') "
              "ORDER BY ended DESC, uuid DESC LIMIT 1",
              {Clean(product), int64_t{serial}}, &found, why)) {
    return std::nullopt;
  }
  if (why) why->clear();
  if (found.Rows.empty()) return std::nullopt;
  const SqlRow& row = found.Rows[0];
  LastUpdate last;
  last.Uuid = row[0].value_or("");
  last.Station = row[1].value_or("");
  last.Port = row[2].value_or("");
  last.Ended = ParseUtcText(row[3].value_or("")).value_or(RecordTime{});
  last.Outcome = OutcomeFromWord(row[4].value_or("")).value_or(RecordOutcome::Failed);
  last.Finished = last.Outcome == RecordOutcome::Ok;
  return last;
}

bool QueryIn(SqlConnection& db, const RecordFilter& filter, StoreAnswer<JobRecord>& answer,
             std::string* why) {
  std::string sql = "SELECT record_json FROM job_records WHERE 1 = 1";
  std::vector<SqlValue> values;
  auto where = [&](const char* column, SqlValue value) {
    values.push_back(std::move(value));
    sql += std::string(" AND ") + column + " $" + std::to_string(values.size());
  };
  if (filter.Serial) where("serial =", int64_t{*filter.Serial});
  if (!filter.Product.empty()) where("product =", Clean(filter.Product));
  if (!filter.Station.empty()) where("station =", Clean(filter.Station));
  if (!filter.Port.empty()) where("port =", Clean(filter.Port));
  if (filter.Since) where("started >=", UtcText(*filter.Since));
  if (filter.Outcome) where("outcome =", std::string(Word(*filter.Outcome)));
  if (filter.Job) where("job =", std::string(Word(*filter.Job)));
  sql += " ORDER BY started DESC, uuid DESC";
  if (filter.Limit > 0) sql += " LIMIT " + std::to_string(filter.Limit);
  SqlResult found;
  if (!db.Run(sql, values, &found, why)) return false;
  size_t unreadable = 0;
  answer.Items.clear();
  for (auto row = found.Rows.rbegin(); row != found.Rows.rend(); ++row) {
    const nlohmann::json json = nlohmann::json::parse((*row)[0].value_or(""), nullptr, false);
    std::optional<JobRecord> record = RecordFromJson(json);
    if (record) {
      answer.Items.push_back(std::move(*record));
    } else {
      ++unreadable;
    }
  }
  if (unreadable > 0) {
    answer.Note += (answer.Note.empty() ? "" : "; ") + std::to_string(unreadable) +
                   " stored record(s) could not be read and are left out";
  }
  return true;
}

bool IdentitiesIn(SqlConnection& db, const std::string& product, std::optional<uint32_t> serial,
                  std::vector<StoredIdentity>& items, std::string* why) {
  std::string sql =
      "SELECT " + ColumnList(IdentityColumns, IdentityColumnCount) + " FROM identities WHERE 1 = 1";
  std::vector<SqlValue> values;
  if (!product.empty()) {
    values.emplace_back(Clean(product));
    sql += " AND product = $" + std::to_string(values.size());
  }
  if (serial) {
    values.emplace_back(int64_t{*serial});
    sql += " AND serial = $" + std::to_string(values.size());
  }
  sql += " ORDER BY read_at DESC, product, serial";
  SqlResult found;
  if (!db.Run(sql, values, &found, why)) return false;
  items.clear();
  for (const SqlRow& row : found.Rows) {
    StoredIdentity saved;
    saved.Identity.ProductName = row[0].value_or("");
    saved.Identity.SerialNumber =
        static_cast<uint32_t>(std::strtoull(row[1].value_or("0").c_str(), nullptr, 10));
    saved.Identity.SerialNumberFound = true;
    saved.Identity.HardwareVersion = row[2].value_or("");
    saved.Identity.BrandLabel = row[3].value_or("");
    saved.Block = FromHex(row[4].value_or(""));
    saved.ReadAt = row[5].value_or("");
    saved.Station = row[6].value_or("");
    saved.Port = row[7].value_or("");
    items.push_back(std::move(saved));
  }
  return true;
}

std::vector<SqlValue> IdentityValues(const StoredIdentity& saved) {
  return {
      Clean(saved.Identity.ProductName),
      int64_t{saved.Identity.SerialNumber},
      Clean(saved.Identity.HardwareVersion),
      Clean(saved.Identity.BrandLabel),
      Hex(saved.Block),
      saved.ReadAt,
      Clean(saved.Station),
      Clean(saved.Port),
  };
}

// Keeps an identity locally and marks it for the line database; in the
// caller's transaction.
bool SaveIdentityIn(SqlConnection& db, const StoredIdentity& saved, std::string* why) {
  if (!UpsertIdentities(db, {IdentityValues(saved)}, why)) return false;
  return db.Run(
      "INSERT INTO pending_identities (product, serial, read_at) VALUES ($1, $2, $3) "
      "ON CONFLICT (product, serial) DO UPDATE SET read_at = excluded.read_at",
      {Clean(saved.Identity.ProductName), int64_t{saved.Identity.SerialNumber}, saved.ReadAt}, why);
}

enum class ReserveStep { Reserved, Exhausted, Failed };

// The reservation itself, in one transaction that holds the counter's lock
// (the row in PostgreSQL, the whole file in SQLite) from reading it to
// writing the number out.
ReserveStep ReserveIn(SqlConnection& db, const std::string& product, uint32_t from, uint32_t to,
                      const std::string& station, uint32_t& serial, std::string* why) {
  if (!db.BeginWriting(why)) return ReserveStep::Failed;
  auto fail = [&] {
    db.Rollback();
    return ReserveStep::Failed;
  };
  const std::vector<SqlValue> range{product, int64_t{from}, int64_t{to}};
  SqlResult counter;
  if (!db.Run("INSERT INTO serial_counters (product, range_from, range_to, next_serial) "
              "VALUES ($1, $2, $3, $2) ON CONFLICT (product, range_from, range_to) DO NOTHING",
              range, why) ||
      !db.Run(std::string("SELECT next_serial FROM serial_counters WHERE product = $1 AND "
                          "range_from = $2 AND range_to = $3") +
                  db.RowLock(),
              range, &counter, why)) {
    return fail();
  }
  // A number given back comes first, before the counter moves on.
  SqlResult reused;
  if (!db.Run("UPDATE serial_numbers SET state = 'reserved', station = $4, reserved_at = $5, "
              "released_at = NULL WHERE product = $1 AND state = 'released' AND serial = "
              "(SELECT MIN(serial) FROM serial_numbers WHERE product = $1 AND "
              "state = 'released' AND serial >= $2 AND serial <= $3) RETURNING serial",
              {product, int64_t{from}, int64_t{to}, station, NowText()}, &reused, why)) {
    return fail();
  }
  if (!reused.Rows.empty() && reused.Rows[0][0]) {
    serial = static_cast<uint32_t>(std::strtoull(reused.Rows[0][0]->c_str(), nullptr, 10));
    return db.Commit(why) ? ReserveStep::Reserved : fail();
  }
  int64_t next = from;
  if (!counter.Rows.empty() && counter.Rows[0][0]) {
    next = std::max<int64_t>(from, std::strtoll(counter.Rows[0][0]->c_str(), nullptr, 10));
  }
  // The lowest number from `next` on that no reservation, saved identity or
  // recorded job has: a board already carrying a number never gets a twin.
  constexpr const char* FreeNumber =
      "SELECT MIN(c) FROM ("
      " SELECT CAST($2 AS BIGINT) AS c"
      " UNION ALL SELECT serial + 1 FROM serial_numbers"
      "  WHERE product = $1 AND serial >= $2 AND serial < $3"
      " UNION ALL SELECT serial + 1 FROM identities"
      "  WHERE product = $1 AND serial >= $2 AND serial < $3"
      " UNION ALL SELECT serial + 1 FROM job_records"
      "  WHERE product = $1 AND serial >= $2 AND serial < $3"
      ") AS candidates WHERE c <= $3"
      " AND NOT EXISTS (SELECT 1 FROM serial_numbers s WHERE s.product = $1 AND s.serial = c)"
      " AND NOT EXISTS (SELECT 1 FROM identities i WHERE i.product = $1 AND i.serial = c)"
      " AND NOT EXISTS (SELECT 1 FROM job_records j WHERE j.product = $1 AND j.serial = c)";
  // Another range of the same product may take a number between our look
  // and our insert; then the next free one is looked for.
  for (int attempt = 0; attempt < 16; ++attempt) {
    SqlResult free;
    if (next > to) break;
    if (!db.Run(FreeNumber, {product, next, int64_t{to}}, &free, why)) return fail();
    if (free.Rows.empty() || !free.Rows[0][0]) break;
    const int64_t candidate = std::strtoll(free.Rows[0][0]->c_str(), nullptr, 10);
    SqlResult taken;
    if (!db.Run("INSERT INTO serial_numbers (product, serial, state, station, reserved_at) "
                "VALUES ($1, $2, 'reserved', $3, $4) ON CONFLICT (product, serial) DO NOTHING",
                {product, candidate, station, NowText()}, &taken, why)) {
      return fail();
    }
    next = candidate + 1;
    if (taken.Changed != 1) continue;
    if (!db.Run("UPDATE serial_counters SET next_serial = $4 WHERE product = $1 AND "
                "range_from = $2 AND range_to = $3",
                {product, int64_t{from}, int64_t{to}, next}, why) ||
        !db.Commit(why)) {
      return fail();
    }
    serial = static_cast<uint32_t>(candidate);
    return ReserveStep::Reserved;
  }
  db.Rollback();
  return ReserveStep::Exhausted;
}

// Moves a number from `from` state to `to` state; the reason names what it
// was instead.
bool MoveSerial(SqlConnection& db, const std::string& product, uint32_t serial,
                const char* fromStates, const char* toState, const char* timeColumn,
                std::string* why) {
  SqlResult moved;
  if (!db.Run(std::string("UPDATE serial_numbers SET state = '") + toState + "', " + timeColumn +
                  " = $3 WHERE product = $1 AND serial = $2 AND state IN (" + fromStates + ")",
              {product, int64_t{serial}, NowText()}, &moved, why)) {
    return false;
  }
  if (moved.Changed == 1) return true;
  SqlResult state;
  std::string ignored;
  db.Run("SELECT state FROM serial_numbers WHERE product = $1 AND serial = $2",
         {product, int64_t{serial}}, &state, &ignored);
  const std::string was =
      state.Rows.empty() || !state.Rows[0][0] ? "never reserved" : "already " + *state.Rows[0][0];
  if (why) {
    *why = BoardName(product, serial) + " is " + was +
           (was == "already used" ? ": a board may carry it, so it is never given out again" : "");
  }
  return false;
}

bool RegularFile(const fs::path& path) {
  // A FIFO or a device under the old names would block the open.
  std::error_code error;
  return fs::is_regular_file(fs::status(path, error));
}

std::string FileText(const fs::path& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  char buffer[65536];
  while (in && text.size() <= limit) {
    in.read(buffer, sizeof buffer);
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  return text;
}

fs::path PathFromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

// A mutex one may wait for until a deadline, made of a plain mutex and a
// condition variable: the thread sanitizer does not see the locks that
// std::timed_mutex takes with a deadline and reports their unlocks.
class DeadlineMutex {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    free_.wait(guard, [&] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <typename Clock, typename Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock guard(mutex_);
    if (!free_.wait_until(guard, deadline, [&] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& bound) {
    return try_lock_until(std::chrono::steady_clock::now() + bound);
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

}  // namespace

struct RecordStore::State {
  StoreConfig Config;
  std::string Path;
  std::string ImportNote;
  std::string LineName;

  std::mutex LocalMutex;  // the local connection, one statement sequence at a time
  std::unique_ptr<SqlConnection> Local;

  // The line connection is kept from job to job; a caller that cannot have
  // it within its bound goes on without it.
  DeadlineMutex LineMutex;
  std::unique_ptr<SqlConnection> Line;
  std::string LastLineError;

  // Runs `work` on the line database within `deadline`, connecting (and
  // migrating) when needed; once more on a fresh connection when the kept
  // one turns out to be lost (the server was restarted between two jobs).
  // The caller holds LineMutex.
  template <typename Work>
  bool OnLine(SqlClock::time_point deadline, std::string* why, Work work) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!Line || Line->Broken()) {
        Line.reset();
        std::string cause;
        std::unique_ptr<SqlConnection> fresh = ConnectPostgres(Config.LineUrl, deadline, &cause);
        if (!fresh) {
          if (why) *why = cause;
          return false;
        }
        if (!Migrate(*fresh, &cause)) {
          if (why) *why = LineName + ": " + cause;
          return false;
        }
        Line = std::move(fresh);
      }
      Line->SetDeadline(deadline);
      if (work(*Line, why)) return true;
      if (!Line->Broken()) return false;
      Line.reset();
      if (SqlClock::now() >= deadline) return false;
    }
    return false;
  }

  template <typename Work>
  bool OnLocal(std::string* why, Work work) {
    std::lock_guard lock(LocalMutex);
    return work(*Local, why);
  }

  // Pushes what waits, oldest first, in batches, until nothing waits or the
  // deadline. Returns the rows pushed; `why` tells what stopped it early.
  int64_t PushWaiting(SqlClock::time_point deadline, std::string* why) {
    int64_t pushed = 0;
    std::string cause;
    for (bool records : {true, false}) {
      for (;;) {
        if (SqlClock::now() >= deadline) {
          if (why) *why = LineName + ": no time left for the rows still waiting";
          return pushed;
        }
        SqlResult batch;
        const std::string select =
            records ? "SELECT " + ColumnList(RecordColumns, RecordColumnCount, "r.") +
                          " FROM pending_records p JOIN job_records r ON r.uuid = p.uuid "
                          "ORDER BY r.started LIMIT " +
                          std::to_string(PushBatch)
                    : "SELECT " + ColumnList(IdentityColumns, IdentityColumnCount, "i.") +
                          " FROM pending_identities p JOIN identities i ON i.product = "
                          "p.product AND i.serial = p.serial ORDER BY i.read_at LIMIT " +
                          std::to_string(PushBatch);
        if (!OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
              return db.Run(select, {}, &batch, w);
            })) {
          if (why) *why = cause;
          return pushed;
        }
        if (batch.Rows.empty()) break;
        std::vector<std::vector<SqlValue>> rows;
        for (const SqlRow& row : batch.Rows) {
          rows.push_back(records ? RowValues(row, RecordColumns, RecordColumnCount)
                                 : RowValues(row, IdentityColumns, IdentityColumnCount));
        }
        const bool sent =
            OnLine(std::min(deadline, SqlClock::now() + StepBound), &cause,
                   [&](SqlConnection& db, std::string* w) {
                     return records ? InsertRecords(db, rows, w) : UpsertIdentities(db, rows, w);
                   });
        if (!sent) {
          LastLineError = cause;
          if (why) *why = cause;
          return pushed;
        }
        // Taken off the waiting list only now: a push that was cut off
        // before this point is simply pushed again, and the key makes the
        // second push a no-op.
        const bool marked = OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
          if (!db.BeginWriting(w)) return false;
          for (const SqlRow& row : batch.Rows) {
            const bool ok =
                records ? db.Run("DELETE FROM pending_records WHERE uuid = $1", {*row[0]}, w)
                        : db.Run(
                              "DELETE FROM pending_identities WHERE product = $1 AND "
                              "serial = $2 AND read_at = $3",
                              {*row[0], RowValues(row, IdentityColumns, 2)[1], *row[5]}, w);
            if (!ok) {
              db.Rollback();
              return false;
            }
          }
          return db.Commit(w);
        });
        if (!marked) {
          if (why) *why = cause;
          return pushed;
        }
        pushed += static_cast<int64_t>(batch.Rows.size());
      }
    }
    LastLineError.clear();
    return pushed;
  }

  int64_t WaitingCount() {
    SqlResult count;
    std::string ignored;
    OnLocal(&ignored, [&](SqlConnection& db, std::string* w) {
      return db.Run(
          "SELECT (SELECT COUNT(*) FROM pending_records) + "
          "(SELECT COUNT(*) FROM pending_identities)",
          {}, &count, w);
    });
    return count.Rows.empty() ? 0
                              : std::strtoll(count.Rows[0][0].value_or("0").c_str(), nullptr, 10);
  }

  bool Waits(const char* table, const std::string& where, const std::vector<SqlValue>& key) {
    SqlResult found;
    std::string ignored;
    OnLocal(&ignored, [&](SqlConnection& db, std::string* w) {
      return db.Run(std::string("SELECT 1 FROM ") + table + " WHERE " + where, key, &found, w);
    });
    return !found.Rows.empty();
  }

  // After a job: push within the job's bound; a warning when `waitsStill`
  // says the job's own row did not get through.
  void PushAfterJob(const std::string& what, const std::function<bool()>& waitsStill,
                    std::vector<std::string>& warnings) {
    if (Config.LineUrl.empty()) return;
    const SqlClock::time_point deadline = SqlClock::now() + Config.LineBound;
    std::string cause;
    std::unique_lock lock(LineMutex, std::defer_lock);
    if (lock.try_lock_until(deadline)) {
      PushWaiting(deadline, &cause);
    } else {
      cause = "another push took the whole time";
    }
    if (waitsStill()) {
      warnings.push_back(what + " waits in " + Path + " for the " + LineName + " (" + cause +
                         "); it is pushed with the next job or by \"updater-cli sync\"");
    }
  }

  // Takes over history.jsonl and identities/ from the store's folder, once:
  // the first open does it in the same transaction that marks it done, so
  // two processes opening a new store at once cannot both do it.
  bool ImportOnce(std::string* why) {
    const fs::path folder = PathFromUtf8(Path).parent_path();
    return OnLocal(why, [&](SqlConnection& db, std::string* w) {
      SqlResult done;
      if (!db.Run("SELECT meta_key FROM store_meta WHERE meta_key IN ('imported-history', "
                  "'imported-identities')",
                  {}, &done, w)) {
        return false;
      }
      if (done.Rows.size() == 2) return true;
      if (!db.BeginWriting(w)) return false;
      auto fail = [&] {
        db.Rollback();
        return false;
      };
      if (!db.Run("SELECT meta_key FROM store_meta WHERE meta_key IN ('imported-history', "
                  "'imported-identities')",
                  {}, &done, w)) {
        return fail();
      }
      bool historyDone = false, identitiesDone = false;
      for (const SqlRow& row : done.Rows) {
        historyDone |= row[0] == "imported-history";
        identitiesDone |= row[0] == "imported-identities";
      }
      std::vector<std::string> notes;
      if (!historyDone) {
        const fs::path history = folder / HistoryFileName;
        int taken = 0, skipped = 0, number = 0;
        if (RegularFile(history)) {
          std::ifstream in(history, std::ios::binary);
          std::string line;
          while (std::getline(in, line)) {
            ++number;
            if (line.empty() || line == "\r") continue;
            std::string ignored;
            std::optional<JobRecord> record = RecordFromHistoryLine(line, number, &ignored);
            if (!record) {
              ++skipped;
              continue;
            }
            record->Station = Config.Station;
            SqlResult added;
            if (!db.Run("INSERT INTO job_records (" + ColumnList(RecordColumns, RecordColumnCount) +
                            ") VALUES " + Placeholders(1, RecordColumnCount) +
                            " ON CONFLICT (uuid) DO NOTHING",
                        RecordValues(*record), &added, w) ||
                !db.Run("INSERT INTO pending_records (uuid) VALUES ($1) ON CONFLICT (uuid) DO "
                        "NOTHING",
                        {record->Uuid}, w)) {
              return fail();
            }
            ++taken;
          }
        }
        const std::string note = std::string(HistoryFileName) + ": " + std::to_string(taken) +
                                 " job(s) taken over, " + std::to_string(skipped) +
                                 " line(s) skipped (not readable as a job)";
        if (taken + skipped > 0) notes.push_back(note);
        if (!db.Run("INSERT INTO store_meta (meta_key, meta_value) VALUES ('imported-history', "
                    "$1)",
                    {NowText() + " " + note}, w)) {
          return fail();
        }
      }
      if (!identitiesDone) {
        int taken = 0, skipped = 0;
        std::error_code error;
        for (fs::directory_iterator it(folder / IdentityFolderName, error), end;
             !error && it != end; it.increment(error)) {
          const fs::path file = it->path();
          if (file.extension() != ".json" || !RegularFile(file)) continue;
          std::string ignored;
          std::optional<StoredIdentity> saved =
              IdentityFromFile(FileText(file, IdentityFileMax), &ignored);
          if (!saved || !saved->Identity.SerialNumberFound) {
            skipped += saved ? 0 : 1;
            continue;
          }
          saved->Station = Config.Station;
          if (!SaveIdentityIn(db, *saved, w)) return fail();
          ++taken;
        }
        const std::string note = std::string(IdentityFolderName) + ": " + std::to_string(taken) +
                                 " identity file(s) taken over, " + std::to_string(skipped) +
                                 " skipped (not readable)";
        if (taken + skipped > 0) notes.push_back(note);
        if (!db.Run("INSERT INTO store_meta (meta_key, meta_value) VALUES "
                    "('imported-identities', $1)",
                    {NowText() + " " + note}, w)) {
          return fail();
        }
      }
      if (!db.Commit(w)) return fail();
      for (const std::string& note : notes) {
        ImportNote += (ImportNote.empty() ? "" : "; ") + note;
      }
      return true;
    });
  }
};

std::string DefaultStorePath() {
  const std::string state = StoreStateFolder();
  if (state.empty()) return {};
  return state + "/" + StoreFolderName + "/" + StoreFileName;
}

std::string LineUrlFrom(const std::string& option) {
  if (!option.empty()) return option;
  const char* set = std::getenv("UPDATER_DB");
  return set != nullptr ? set : "";
}

bool LineDatabaseSupported() {
  return PostgresAvailable();
}

std::string DefaultStation() {
  return HostName();
}

std::string DefaultOperator() {
  return LoginName();
}

RecordStore::RecordStore(std::unique_ptr<State> state) : s_(std::move(state)) {}
RecordStore::~RecordStore() = default;

std::unique_ptr<RecordStore> RecordStore::Open(const StoreConfig& config, std::string* why) {
  auto state = std::make_unique<State>();
  state->Config = config;
  if (state->Config.Station.empty()) state->Config.Station = DefaultStation();
  state->Path = config.LocalPath.empty() ? DefaultStorePath() : config.LocalPath;
  if (state->Path.empty()) {
    if (why) *why = "no folder for the record store: neither XDG_STATE_HOME nor HOME is set";
    return nullptr;
  }
  if (!config.LineUrl.empty() && !PostgresAvailable()) {
    if (why) {
      *why = "this build of Updater has no PostgreSQL support: the line database " +
             DescribePostgres(config.LineUrl) + " cannot be used here";
    }
    return nullptr;
  }
  state->LineName = DescribePostgres(config.LineUrl);
  std::string cause;
  const fs::path folder = PathFromUtf8(state->Path).parent_path();
  const std::u8string folderText = folder.u8string();
  if (config.LocalPath.empty()) {
    // The store's own folder, beside the history: this user's alone.
    if (!MakePrivateStoreFolder(std::string(folderText.begin(), folderText.end()), &cause)) {
      if (why) *why = "the record store's folder cannot be used: " + cause;
      return nullptr;
    }
  } else if (!folder.empty()) {
    std::error_code error;
    fs::create_directories(folder, error);
  }
  state->Local = OpenSqlite(state->Path, &cause);
  if (!state->Local || !Migrate(*state->Local, &cause) || !state->ImportOnce(&cause)) {
    if (why) *why = "the record store cannot be opened: " + cause;
    return nullptr;
  }
  return std::unique_ptr<RecordStore>(new RecordStore(std::move(state)));
}

const std::string& RecordStore::LocalPath() const {
  return s_->Path;
}

const std::string& RecordStore::Station() const {
  return s_->Config.Station;
}

bool RecordStore::HasLine() const {
  return !s_->Config.LineUrl.empty();
}

const std::string& RecordStore::ImportNote() const {
  return s_->ImportNote;
}

std::vector<std::string> RecordStore::Record(const JobRecord& given) {
  std::vector<std::string> warnings;
  // A record without its key would take the place of the next one without.
  JobRecord keyed;
  if (given.Uuid.empty()) {
    keyed = given;
    keyed.Uuid = NewUuid();
  }
  const JobRecord& record = given.Uuid.empty() ? keyed : given;
  const std::string what = "the record of the " + std::string(Word(record.Job)) + " on " +
                           (record.Port.empty() ? std::string("no port") : record.Port);
  std::string cause;
  const std::vector<SqlValue> values = RecordValues(record);
  const bool kept = s_->OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
    if (!db.BeginWriting(w)) return false;
    if (!InsertRecords(db, {values}, w) ||
        !db.Run("INSERT INTO pending_records (uuid) VALUES ($1) ON CONFLICT (uuid) DO NOTHING",
                {record.Uuid}, w) ||
        !db.Commit(w)) {
      db.Rollback();
      return false;
    }
    return true;
  });
  if (kept) {
    s_->PushAfterJob(
        what, [&] { return s_->Waits("pending_records", "uuid = $1", {record.Uuid}); }, warnings);
    return warnings;
  }
  warnings.push_back(what + " is not in the local store " + s_->Path + ": " + cause);
  if (!HasLine()) return warnings;
  // The local file failed (a full disk): the line database may still take it.
  const SqlClock::time_point deadline = SqlClock::now() + s_->Config.LineBound;
  std::unique_lock lock(s_->LineMutex, std::defer_lock);
  std::string lineCause = "another push took the whole time";
  if (lock.try_lock_until(deadline) &&
      s_->OnLine(deadline, &lineCause, [&](SqlConnection& db, std::string* w) {
        return InsertRecords(db, {values}, w);
      })) {
    warnings.push_back("it went to the " + s_->LineName + " alone");
  } else {
    warnings.push_back("nor could it go to the " + s_->LineName + " (" + lineCause +
                       "): it is lost unless the report keeps it");
  }
  return warnings;
}

SyncResult RecordStore::Sync() {
  SyncResult result;
  if (!HasLine()) {
    result.Error = "no line database is configured (--db or UPDATER_DB)";
    result.Waiting = s_->WaitingCount();
    return result;
  }
  {
    std::unique_lock lock(s_->LineMutex, std::defer_lock);
    if (!lock.try_lock_for(StepBound)) {
      result.Error = "another push in this program did not end in time";
    } else if (s_->OnLine(
                   SqlClock::now() + StepBound, &result.Error,
                   [](SqlConnection& db, std::string* w) { return db.Run("SELECT 1", {}, w); })) {
      // Reached first even when nothing waits: a sync that says nothing of an
      // unreachable database would be taken for a good one.
      result.Pushed = s_->PushWaiting(SqlClock::time_point::max(), &result.Error);
    }
  }
  result.Waiting = s_->WaitingCount();
  result.Ok = result.Waiting == 0 && result.Error.empty();
  if (result.Waiting > 0 && result.Error.empty()) {
    result.Error = "rows were added while the push ran";
  }
  return result;
}

StoreAnswer<JobRecord> RecordStore::Query(const RecordFilter& filter) {
  StoreAnswer<JobRecord> answer;
  std::string cause;
  if (HasLine()) {
    std::unique_lock lock(s_->LineMutex, std::defer_lock);
    const SqlClock::time_point deadline = SqlClock::now() + StepBound;
    if (lock.try_lock_until(deadline) &&
        s_->OnLine(deadline, &cause, [&](SqlConnection& db, std::string* w) {
          return QueryIn(db, filter, answer, w);
        })) {
      answer.Ok = answer.FromLine = true;
      return answer;
    }
    answer.Note = "the " + s_->LineName + " was not reached (" + cause +
                  "): these are the records of this computer only";
  }
  answer.Ok = s_->OnLocal(
      &cause, [&](SqlConnection& db, std::string* w) { return QueryIn(db, filter, answer, w); });
  if (!answer.Ok) answer.Error = cause;
  return answer;
}

std::vector<std::string> RecordStore::SaveIdentity(const DeviceIdentity& identity,
                                                   const std::vector<uint8_t>& block,
                                                   const std::string& port) {
  std::vector<std::string> warnings;
  if (!identity.SerialNumberFound) {
    warnings.push_back("the identity read on " + port + " (" + DescribeBoard(identity) +
                       ") is not kept: without a serial number it cannot be told apart");
    return warnings;
  }
  StoredIdentity saved;
  saved.Identity = identity;
  saved.Block.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(block.size(), IdentityBlockMax)));
  saved.ReadAt = NowText();
  saved.Station = s_->Config.Station;
  saved.Port = port;
  std::string cause;
  const bool kept = s_->OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
    if (!db.BeginWriting(w)) return false;
    if (!SaveIdentityIn(db, saved, w) || !db.Commit(w)) {
      db.Rollback();
      return false;
    }
    return true;
  });
  const std::string what =
      "the identity of " + BoardName(identity.ProductName, identity.SerialNumber);
  if (!kept) {
    warnings.push_back(what + " is not kept in " + s_->Path + ": " + cause);
    return warnings;
  }
  s_->PushAfterJob(
      what,
      [&] {
        return s_->Waits("pending_identities", "product = $1 AND serial = $2",
                         {Clean(identity.ProductName), int64_t{identity.SerialNumber}});
      },
      warnings);
  return warnings;
}

StoreAnswer<StoredIdentity> RecordStore::Identities(const std::string& product,
                                                    std::optional<uint32_t> serial) {
  StoreAnswer<StoredIdentity> answer;
  std::string cause;
  if (HasLine()) {
    std::unique_lock lock(s_->LineMutex, std::defer_lock);
    const SqlClock::time_point deadline = SqlClock::now() + s_->Config.LineBound;
    if (lock.try_lock_until(deadline) &&
        s_->OnLine(deadline, &cause, [&](SqlConnection& db, std::string* w) {
          return IdentitiesIn(db, product, serial, answer.Items, w);
        })) {
      answer.Ok = answer.FromLine = true;
      return answer;
    }
    answer.Note = "the " + s_->LineName + " was not reached (" + cause +
                  "): these are the identities kept on this computer only";
  }
  answer.Ok = s_->OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
    return IdentitiesIn(db, product, serial, answer.Items, w);
  });
  if (!answer.Ok) answer.Error = cause;
  return answer;
}

std::optional<LastUpdate> RecordStore::LastUpdateOf(const std::string& product, uint32_t serial,
                                                    std::string* note) {
  std::string cause;
  if (note) note->clear();
  std::optional<LastUpdate> local;
  const bool localRead = s_->OnLocal(&cause, [&](SqlConnection& db, std::string* w) {
    local = LastUpdateIn(db, product, serial, w);
    return w->empty();
  });
  if (!localRead && note) *note = "the local store " + s_->Path + " was not read: " + cause;
  if (!HasLine()) return local;
  std::optional<LastUpdate> line;
  std::unique_lock lock(s_->LineMutex, std::defer_lock);
  const SqlClock::time_point deadline = SqlClock::now() + s_->Config.LineBound;
  const bool lineRead = lock.try_lock_until(deadline) &&
                        s_->OnLine(deadline, &cause, [&](SqlConnection& db, std::string* w) {
                          line = LastUpdateIn(db, product, serial, w);
                          return w->empty();
                        });
  if (!lineRead) {
    if (note) *note = "the " + s_->LineName + " was not reached (" + cause + ")";
    return local;
  }
  if (!local) return line;
  if (!line) return local;
  return local->Ended > line->Ended ? local : line;
}

FinishCheck RecordStore::CanFinishWith(const std::string& product, uint32_t serial) {
  FinishCheck check;
  std::string note;
  check.Last = LastUpdateOf(product, serial, &note);
  const std::string board = BoardName(product, serial);
  if (check.Last && check.Last->Finished) {
    check.Verdict = FinishVerdict::Finished;
    check.Reason = board + " already finished an update on station " + check.Last->Station +
                   " at " + ShortTime(check.Last->Ended) +
                   ": a board carries that identity, a second one must not";
  } else if (!note.empty()) {
    check.Verdict = FinishVerdict::Unknown;
    check.Reason = "cannot tell whether " + board + " finished an update elsewhere: " + note;
  } else if (!check.Last) {
    check.Verdict = FinishVerdict::NeverUpdated;
    check.Reason = "no interrupted update of " + board +
                   " is recorded: the board it was read from may still carry it";
  } else {
    check.Verdict = FinishVerdict::Unfinished;
    check.Reason = "the last update of " + board + " (station " + check.Last->Station + ", " +
                   ShortTime(check.Last->Ended) + ") ended " + Word(check.Last->Outcome) +
                   " after the flash was erased";
  }
  return check;
}

SerialReservation RecordStore::ReserveSerial(const std::string& product, uint32_t from,
                                             uint32_t to) {
  SerialReservation reservation;
  const std::string name = Clean(product);
  if (name.empty() || from > to) {
    reservation.Reason = "no serial numbers to give: the range " + std::to_string(from) + " to " +
                         std::to_string(to) + (name.empty() ? " names no product" : " is empty");
    return reservation;
  }
  std::string cause;
  ReserveStep step = ReserveStep::Failed;
  auto reserve = [&](SqlConnection& db, std::string* w) {
    step = ReserveIn(db, name, from, to, s_->Config.Station, reservation.Serial, w);
    return step != ReserveStep::Failed;
  };
  if (HasLine()) {
    // From the line database alone: a number taken from this computer's
    // counter could be another station's too.
    std::unique_lock lock(s_->LineMutex, std::defer_lock);
    const SqlClock::time_point deadline = SqlClock::now() + s_->Config.LineBound;
    if (!lock.try_lock_until(deadline) || !s_->OnLine(deadline, &cause, reserve)) {
      reservation.Reason = "no serial number could be reserved: the " + s_->LineName +
                           " was not reached (" + cause +
                           "); numbers come from it alone, so that no two stations give the same";
      return reservation;
    }
  } else if (!s_->OnLocal(&cause, reserve)) {
    reservation.Reason = "no serial number could be reserved in " + s_->Path + ": " + cause;
    return reservation;
  }
  if (step == ReserveStep::Exhausted) {
    reservation.Status = ReserveStatus::Exhausted;
    reservation.Reason = "the serial numbers " + std::to_string(from) + " to " +
                         std::to_string(to) + " of " + product + " are all given out";
    return reservation;
  }
  reservation.Status = ReserveStatus::Reserved;
  return reservation;
}

namespace {

template <typename State, typename Work>
bool OnCounter(State& s, bool line, std::string* why, Work work) {
  if (!line) return s.OnLocal(why, work);
  std::unique_lock lock(s.LineMutex, std::defer_lock);
  const SqlClock::time_point deadline = SqlClock::now() + s.Config.LineBound;
  std::string cause = "another push took the whole time";
  if (lock.try_lock_until(deadline) && s.OnLine(deadline, &cause, work)) return true;
  if (why && !cause.empty()) *why = cause;
  return false;
}

}  // namespace

bool RecordStore::MarkSerialUsed(const std::string& product, uint32_t serial, std::string* why) {
  return OnCounter(*s_, HasLine(), why, [&](SqlConnection& db, std::string* w) {
    return MoveSerial(db, Clean(product), serial, "'reserved', 'used'", "used", "used_at", w);
  });
}

bool RecordStore::ReleaseSerial(const std::string& product, uint32_t serial, std::string* why) {
  return OnCounter(*s_, HasLine(), why, [&](SqlConnection& db, std::string* w) {
    return MoveSerial(db, Clean(product), serial, "'reserved'", "released", "released_at", w);
  });
}
