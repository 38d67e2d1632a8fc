// The line database: PostgreSQL through libpq. Every wait for the server
// (connecting, sending, the answer) is bounded by the caller's deadline on
// our side, with poll(), so that a server that is down, slow or cut off by
// the network never holds a job longer than its bound; the server's own
// statement_timeout backs that up on its side.
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sql_connection.h"

namespace {

constexpr Oid Int8Oid = 20;  // bigint
constexpr Oid TextOid = 25;

// Before the operator's own settings, which may override them.
constexpr const char* DefaultKeywords[] = {"connect_timeout", "application_name", "options"};
constexpr const char* DefaultValues[] = {"2", "updater",
                                         "-c statement_timeout=10000 -c lock_timeout=5000"};

std::string OneLine(const char* text) {
  std::string line = text ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  std::string joined;
  for (const char c : line) {
    if (c == '\n' || c == '\t') {
      if (!joined.empty() && joined.back() != ' ') joined += ' ';
    } else {
      joined += c;
    }
  }
  return joined;
}

// Waits until the connection's socket is ready for `events` or the deadline
// passes. False when the time is up or the socket failed.
bool WaitSocket(PGconn* conn, short events, SqlClock::time_point deadline, std::string* why) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SqlClock::now());
    if (left.count() <= 0) {
      if (why) *why = "no answer in time";
      return false;
    }
    pollfd fd{PQsocket(conn), events, 0};
    if (fd.fd < 0) {
      if (why) *why = "the connection has no socket";
      return false;
    }
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) {
      if (why) *why = std::string("poll: ") + std::strerror(errno);
      return false;
    }
  }
}

class PgConnection final : public SqlConnection {
 public:
  PgConnection(PGconn* conn, std::string name) : conn_(conn), name_(std::move(name)) {}
  using SqlConnection::Run;
  ~PgConnection() override { PQfinish(conn_); }

  void SetDeadline(SqlClock::time_point deadline) override { deadline_ = deadline; }
  bool Broken() const override { return broken_ || PQstatus(conn_) != CONNECTION_OK; }
  bool BeginWriting(std::string* why) override { return Run("BEGIN", {}, why); }
  const char* RowLock() const override { return " FOR UPDATE"; }
  const char* MigrationLock() const override {
    // One number for the store's migrations on every station.
    return "SELECT pg_advisory_xact_lock(165290160)";
  }
  std::string Name() const override { return name_; }

  bool Run(const std::string& sql, const std::vector<SqlValue>& parameters, SqlResult* result,
           std::string* why) override {
    if (Broken()) return Fail("the connection is lost", why);
    std::vector<std::string> texts(parameters.size());
    std::vector<const char*> values(parameters.size(), nullptr);
    std::vector<Oid> types(parameters.size(), 0);
    for (size_t i = 0; i < parameters.size(); ++i) {
      if (const auto* number = std::get_if<int64_t>(&parameters[i])) {
        texts[i] = std::to_string(*number);
        values[i] = texts[i].c_str();
        types[i] = Int8Oid;
      } else if (const auto* text = std::get_if<std::string>(&parameters[i])) {
        values[i] = text->c_str();
        types[i] = TextOid;
      }
    }
    if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(parameters.size()), types.data(),
                           values.data(), nullptr, nullptr, 0)) {
      return Fail(OneLine(PQerrorMessage(conn_)), why);
    }
    // Out with the query, then in with the answer, each within the deadline.
    for (;;) {
      const int flushed = PQflush(conn_);
      if (flushed == 0) break;
      if (flushed < 0) return Fail(OneLine(PQerrorMessage(conn_)), why);
      std::string cause;
      if (!WaitSocket(conn_, POLLOUT | POLLIN, deadline_, &cause)) return Fail(cause, why);
      if (!PQconsumeInput(conn_)) return Fail(OneLine(PQerrorMessage(conn_)), why);
    }
    std::string error;
    if (result) *result = SqlResult{};
    for (;;) {
      while (PQisBusy(conn_)) {
        std::string cause;
        if (!WaitSocket(conn_, POLLIN, deadline_, &cause)) return Fail(cause, why);
        if (!PQconsumeInput(conn_)) return Fail(OneLine(PQerrorMessage(conn_)), why);
      }
      PGresult* answer = PQgetResult(conn_);
      if (!answer) break;
      const ExecStatusType status = PQresultStatus(answer);
      if (status == PGRES_TUPLES_OK && result) {
        for (int r = 0; r < PQntuples(answer); ++r) {
          SqlRow row;
          for (int c = 0; c < PQnfields(answer); ++c) {
            if (PQgetisnull(answer, r, c)) {
              row.emplace_back(std::nullopt);
            } else {
              row.emplace_back(std::string(PQgetvalue(answer, r, c),
                                           static_cast<size_t>(PQgetlength(answer, r, c))));
            }
          }
          result->Rows.push_back(std::move(row));
        }
      }
      if (status == PGRES_COMMAND_OK && result) {
        const char* changed = PQcmdTuples(answer);
        if (changed && *changed) result->Changed = std::atoll(changed);
      }
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && error.empty()) {
        error = OneLine(PQresultErrorMessage(answer));
      }
      PQclear(answer);
    }
    if (!error.empty()) {
      if (why) *why = name_ + ": " + error;
      return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& cause, std::string* why) {
    // A statement cut off half-way leaves the connection in an unknown
    // state: it is given up, and the server rolls back what it had begun.
    broken_ = true;
    if (why) *why = name_ + ": " + cause;
    return false;
  }

  PGconn* conn_;
  std::string name_;
  SqlClock::time_point deadline_ = SqlClock::now() + std::chrono::seconds(2);
  bool broken_ = false;
};

}  // namespace

bool PostgresAvailable() {
  return true;
}

std::string DescribePostgres(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (!options) {
    PQfreemem(error);
    return "the line database";
  }
  std::string db, host, port;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    const std::string keyword = o->keyword;
    if (keyword == "dbname") db = o->val;
    if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = o->val;
    if (keyword == "port") port = o->val;
  }
  PQconninfoFree(options);
  std::string text = "line database " + (db.empty() ? std::string("(default)") : db);
  if (!host.empty()) text += " on " + host + (port.empty() ? "" : ":" + port);
  return text;
}

std::unique_ptr<SqlConnection> ConnectPostgres(const std::string& conninfo,
                                               SqlClock::time_point deadline, std::string* why) {
  const std::string name = DescribePostgres(conninfo);
  std::vector<const char*> keywords(std::begin(DefaultKeywords), std::end(DefaultKeywords));
  std::vector<const char*> values(std::begin(DefaultValues), std::end(DefaultValues));
  keywords.push_back("dbname");
  values.push_back(conninfo.c_str());
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectStartParams(keywords.data(), values.data(), 1);
  auto fail = [&](const std::string& cause) -> std::unique_ptr<SqlConnection> {
    if (why) *why = name + " not reached: " + cause;
    PQfinish(conn);
    return nullptr;
  };
  if (!conn) return fail("out of memory");
  if (PQstatus(conn) == CONNECTION_BAD) return fail(OneLine(PQerrorMessage(conn)));
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  while (polling != PGRES_POLLING_OK) {
    if (polling == PGRES_POLLING_FAILED) return fail(OneLine(PQerrorMessage(conn)));
    std::string cause;
    if (!WaitSocket(conn, polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, &cause)) {
      return fail(cause);
    }
    polling = PQconnectPoll(conn);
  }
  if (PQsetnonblocking(conn, 1) != 0) return fail(OneLine(PQerrorMessage(conn)));
  // The server's notices ("already exists, skipping" from a migration that
  // another station ran first) are no news for the operator's terminal.
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  auto connection = std::make_unique<PgConnection>(conn, name);
  connection->SetDeadline(deadline);
  return connection;
}
