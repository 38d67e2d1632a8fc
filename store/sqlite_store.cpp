// The local store: one SQLite file per user, shared by every process of that
// user (four command lines and the window at once). WAL lets readers go on
// while one writes; the busy timeout makes a writer wait its turn instead of
// failing; every writing transaction takes the write lock when it begins, so
// a waiting writer is never refused half-way.
#include <sqlite3.h>

#include <map>

#include "sql_connection.h"

namespace {

// How long a writer waits for the others before its write fails. Writes are
// a few milliseconds each; this only runs out when another process hangs.
constexpr int BusyTimeoutMs = 10000;

// SQLite numbers its parameters ?1, ?2, ...; the store writes $1, $2, ...
// for both databases. No statement of the store has a '$' in a literal.
std::string SqliteParameters(const std::string& sql) {
  std::string text = sql;
  for (char& c : text) {
    if (c == '$') c = '?';
  }
  return text;
}

class SqliteConnection final : public SqlConnection {
 public:
  SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  using SqlConnection::Run;
  ~SqliteConnection() override {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }

  bool Run(const std::string& sql, const std::vector<SqlValue>& parameters, SqlResult* result,
           std::string* why) override {
    sqlite3_stmt* statement = Prepared(sql, why);
    if (!statement) return false;
    for (size_t i = 0; i < parameters.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      int bound = SQLITE_OK;
      if (const auto* number = std::get_if<int64_t>(&parameters[i])) {
        bound = sqlite3_bind_int64(statement, at, *number);
      } else if (const auto* text = std::get_if<std::string>(&parameters[i])) {
        bound = sqlite3_bind_text(statement, at, text->data(), static_cast<int>(text->size()),
                                  SQLITE_TRANSIENT);
      } else {
        bound = sqlite3_bind_null(statement, at);
      }
      if (bound != SQLITE_OK) return Fail(statement, why);
    }
    if (result) *result = SqlResult{};
    for (;;) {
      const int step = sqlite3_step(statement);
      if (step == SQLITE_DONE) break;
      if (step != SQLITE_ROW) return Fail(statement, why);
      if (!result) continue;
      SqlRow row;
      const int columns = sqlite3_column_count(statement);
      for (int c = 0; c < columns; ++c) {
        if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
          row.emplace_back(std::nullopt);
          continue;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
        row.emplace_back(
            std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, c))));
      }
      result->Rows.push_back(std::move(row));
    }
    if (result) result->Changed = sqlite3_changes64(db_);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return true;
  }

  bool BeginWriting(std::string* why) override { return Run("BEGIN IMMEDIATE", {}, why); }
  const char* RowLock() const override { return ""; }
  const char* MigrationLock() const override { return ""; }
  std::string Name() const override { return path_; }

 private:
  sqlite3_stmt* Prepared(const std::string& sql, std::string* why) {
    const auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    const std::string text = SqliteParameters(sql);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &statement, nullptr) !=
        SQLITE_OK) {
      if (why) *why = path_ + ": " + sqlite3_errmsg(db_);
      return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
  }

  bool Fail(sqlite3_stmt* statement, std::string* why) {
    if (why) *why = path_ + ": " + sqlite3_errmsg(db_);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return false;
  }

  sqlite3* db_;
  std::string path_;
  std::map<std::string, sqlite3_stmt*> statements_;  // prepared once, kept for the next job
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, std::string* why) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
#ifdef SQLITE_OPEN_NOFOLLOW
  // A link put where the store belongs would send the records elsewhere.
  flags |= SQLITE_OPEN_NOFOLLOW;
#endif
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    if (why) *why = path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, BusyTimeoutMs);
  auto connection = std::make_unique<SqliteConnection>(db, path);
  // FULL: a job's record survives a power cut right after the job, at the
  // cost of one flush of the log per job.
  SqlResult mode;
  if (!connection->Run("PRAGMA journal_mode=WAL", {}, &mode, why) ||
      !connection->Run("PRAGMA synchronous=FULL", {}, why)) {
    return nullptr;
  }
  if (mode.Rows.empty() || !mode.Rows[0][0] || *mode.Rows[0][0] != "wal") {
    // A file system without shared memory (a network share) cannot do WAL;
    // the rollback journal still keeps writers apart, only slower.
    connection->Run("PRAGMA journal_mode=DELETE", {}, why);
  }
  return connection;
}
