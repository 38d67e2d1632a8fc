// The one seam between the record store and its two databases: a connection
// that runs a statement with parameters and gives back rows of text. The
// store's tables, migrations and queries are written once, in SQL that both
// SQLite and PostgreSQL take; what differs (parameter marks, how a writing
// transaction starts, row locks, time bounds) lives behind this interface.
// Internal to store/.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

using SqlClock = std::chrono::steady_clock;

// A parameter: NULL, a whole number or a text. Numbers travel as numbers, so
// that a comparison never falls back to comparing digits as text.
using SqlValue = std::variant<std::monostate, int64_t, std::string>;
using SqlRow = std::vector<std::optional<std::string>>;

struct SqlResult {
  std::vector<SqlRow> Rows;
  int64_t Changed = 0;  // rows inserted, updated or deleted
};

class SqlConnection {
 public:
  virtual ~SqlConnection() = default;

  // Runs one statement; parameters are written $1, $2, ... False with the
  // cause when it failed or its time ran out (the connection is then unusable
  // when Broken() says so).
  virtual bool Run(const std::string& sql, const std::vector<SqlValue>& parameters,
                   SqlResult* result, std::string* why) = 0;
  // A transaction that will write: SQLite takes its write lock at once, so
  // that two processes never both read and then both try to write.
  virtual bool BeginWriting(std::string* why) = 0;
  // " FOR UPDATE" where the database locks rows, else nothing (SQLite's
  // transaction already holds the whole file).
  virtual const char* RowLock() const = 0;
  // Statement run first in a migration, to keep two stations from migrating
  // the same database at once; empty when BeginWriting is enough.
  virtual const char* MigrationLock() const = 0;
  // Every call after this ends by `deadline` (a line database that does not
  // answer); the local file has no use for it.
  virtual void SetDeadline(SqlClock::time_point deadline) { (void)deadline; }
  // The connection is lost; a new one is needed.
  virtual bool Broken() const { return false; }
  // For messages: the file, or the database and server (never a password).
  virtual std::string Name() const = 0;

  bool Run(const std::string& sql, const std::vector<SqlValue>& parameters, std::string* why) {
    return Run(sql, parameters, nullptr, why);
  }
  bool Commit(std::string* why) { return Run("COMMIT", {}, why); }
  void Rollback() {
    std::string ignored;
    Run("ROLLBACK", {}, &ignored);
  }
};

// The local store's file, made when missing, in WAL mode with a busy
// timeout, so that several processes write to it at once. Nothing, with the
// reason naming the file, when it cannot be opened.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, std::string* why);

// False on a build without PostgreSQL (the Windows one).
bool PostgresAvailable();
// A connection to the line database given as a URL or libpq conninfo, made
// by `deadline`. Nothing, with the reason, when it cannot be had in time.
std::unique_ptr<SqlConnection> ConnectPostgres(const std::string& conninfo,
                                               SqlClock::time_point deadline, std::string* why);
// "database updater on db.line.local:5432": for messages, without the password.
std::string DescribePostgres(const std::string& conninfo);
