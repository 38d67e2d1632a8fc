// A build without PostgreSQL (the Windows one): the local store works, a
// line database is refused plainly instead of being silently left out.
#include "sql_connection.h"

bool PostgresAvailable() {
  return false;
}

std::string DescribePostgres(const std::string&) {
  return "the line database";
}

std::unique_ptr<SqlConnection> ConnectPostgres(const std::string&, SqlClock::time_point,
                                               std::string* why) {
  if (why) *why = "this build of Updater has no PostgreSQL support";
  return nullptr;
}
