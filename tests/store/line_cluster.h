// The real PostgreSQL server the store's tests run against: started once per
// test program with scripts/pg-test-cluster.sh in a temporary folder (a Unix
// socket there, no TCP), stopped at the end. Each test gets a database of
// its own. Without Debian's server binaries every line test fails, saying to
// run scripts/setup.sh.
#pragma once

#include <libpq-fe.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

class LineCluster {
 public:
  static LineCluster& Get() {
    static LineCluster cluster;
    return cluster;
  }

  bool Up() const { return up_; }
  const std::string& Error() const { return error_; }

  // A fresh database on the server; its URL.
  std::string NewDatabase() {
    const std::string name = "store_test_" + std::to_string(++databases_);
    Exec(url_, "CREATE DATABASE " + name);
    return UrlOf(name);
  }

  bool Stop() { return Script("stop"); }
  bool Start() { return Script("start"); }

  ~LineCluster() {
    if (!dir_.empty()) {
      Script("stop");
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  // Runs `sql` on the database at `url`; the first value of the first row,
  // when there is one.
  static std::optional<std::string> Exec(const std::string& url, const std::string& sql) {
    PGconn* conn = PQconnectdb(url.c_str());
    std::optional<std::string> value;
    if (PQstatus(conn) == CONNECTION_OK) {
      PGresult* result = PQexec(conn, sql.c_str());
      if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0) {
        value = PQgetvalue(result, 0, 0);
      }
      PQclear(result);
    }
    PQfinish(conn);
    return value;
  }

 private:
  LineCluster() {
    char pattern[] = "/tmp/updater-pg.XXXXXX";
    if (!::mkdtemp(pattern)) {
      error_ = "cannot make a folder for the test server";
      return;
    }
    dir_ = pattern;
    if (!Script("start")) {
      error_ =
          "the PostgreSQL test server did not start (see above); the line tests need Debian's "
          "postgresql package: run scripts/setup.sh";
      return;
    }
    std::ifstream in(dir_ + "/url");
    std::getline(in, url_);
    up_ = !url_.empty();
    if (!up_) error_ = "the test server left no URL in " + dir_ + "/url";
  }

  bool Script(const char* action) {
    const std::string command =
        std::string(UPDATER_SOURCE_DIR) + "/scripts/pg-test-cluster.sh " + action + " " + dir_;
    return std::system(command.c_str()) == 0;
  }

  std::string UrlOf(const std::string& database) const {
    // postgresql:///postgres?host=... -> postgresql:///<database>?host=...
    const size_t at = url_.find("/postgres?");
    return url_.substr(0, at) + "/" + database + url_.substr(at + 9);
  }

  std::string dir_;
  std::string url_;
  std::string error_;
  bool up_ = false;
  int databases_ = 0;
};
