// How much a job's end costs with the record store: records per second into
// the local SQLite file and into a PostgreSQL line database (a throw-away
// server from scripts/pg-test-cluster.sh), and the time one Record() call
// takes locally, with a reachable line database, with one that refuses
// (no server) and with one that never answers. Target: a job's end adds at
// most 20 ms locally.
//   <build>/bench/store_bench [--records 300] [--no-line]
#include <libpq-fe.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "comm_async/queue_notify_target.h"
#include "core/port_core.h"
#include "store/record_store.h"

namespace {

using Clock = std::chrono::steady_clock;

JobRecord SampleRecord(int i) {
  JobRecord r;
  r.Station = "bench";
  r.Operator = "bench";
  r.Host = "bench";
  r.ProgramVersion = "bench";
  r.Port = "COM1";
  r.DeviceFile = "/dev/ttyUSB0";
  r.Started = std::chrono::system_clock::now();
  r.Ended = r.Started + std::chrono::seconds(41);
  r.Phase(RecordPhase::Connect) = {r.Started, r.Started + std::chrono::seconds(1)};
  DeviceIdentity board;
  board.ProductName = "DEMO165";
  board.HardwareVersion = "1.0a";
  board.SerialNumber = static_cast<uint32_t>(10000 + i);
  board.SerialNumberFound = true;
  board.BrandLabel = "LABEL-7";
  r.IdentityBefore = r.IdentityWritten = board;
  r.Source = IdentitySource::Device;
  r.Image = RecordImage{
      "/srv/fw/fw-2.10.bin", 2097152, std::string(64, 'a'), "DEMO165", "1.0b", "2.10", {3, 4, 5}};
  r.Verify = VerifyState::Passed;
  r.FlashTouched = true;
  r.ExitCode = 0;
  return r;
}

struct Row {
  std::string Name;
  double PerSecond = 0;
  std::vector<double> CallsMs;
  int Warnings = 0;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  return values[at];
}

// Records `count` jobs through a store made with `config`.
Row RecordJobs(const std::string& name, const StoreConfig& config, int count) {
  Row row;
  row.Name = name;
  std::string why;
  const std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  if (!store) {
    std::fprintf(stderr, "store_bench: %s\n", why.c_str());
    std::exit(1);
  }
  std::vector<JobRecord> records;
  for (int i = 0; i < count; ++i) records.push_back(SampleRecord(i));
  const Clock::time_point begin = Clock::now();
  for (const JobRecord& record : records) {
    const Clock::time_point call = Clock::now();
    row.Warnings += static_cast<int>(store->Record(record).size());
    row.CallsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - call).count());
  }
  row.PerSecond = count / std::chrono::duration<double>(Clock::now() - begin).count();
  return row;
}

class QuietObserver : public JobObserver {
 public:
  void LogWrite(std::string_view) override {}
  void HostWarning(std::string_view) override { ++Warnings; }
  int Warnings = 0;
};

// A job's end as the front ends have it: the core completes the board's
// record (names, device file, adapter, the end time) and keeps it.
Row JobEnds(const std::string& name, const StoreConfig& config, int count) {
  Row row;
  row.Name = name;
  std::string why;
  const std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  if (!store) {
    std::fprintf(stderr, "store_bench: %s\n", why.c_str());
    std::exit(1);
  }
  QueueNotifyTarget target;
  QuietObserver observer;
  PortCore core(target, observer);
  core.Records.Store = store.get();
  core.Records.PortLabel = "COM1";
  const Clock::time_point begin = Clock::now();
  for (int i = 0; i < count; ++i) {
    core.BeginOperation(RecordJob::Update);
    core.CurrentRecord() = SampleRecord(i);
    const Clock::time_point call = Clock::now();
    core.EndOperation();
    row.CallsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - call).count());
  }
  row.PerSecond = count / std::chrono::duration<double>(Clock::now() - begin).count();
  row.Warnings = observer.Warnings;
  return row;
}

void Print(const Row& row) {
  if (row.CallsMs.empty()) {
    std::printf("%-44s %9.0f %9s %9s %9s %9d\n", row.Name.c_str(), row.PerSecond, "-", "-", "-",
                row.Warnings);
    return;
  }
  std::printf("%-44s %9.0f %9.2f %9.2f %9.2f %9d\n", row.Name.c_str(), row.PerSecond,
              Percentile(row.CallsMs, 0.5), Percentile(row.CallsMs, 0.95),
              Percentile(row.CallsMs, 1.0), row.Warnings);
}

bool Script(const std::string& action, const std::string& dir) {
  const std::string command = std::string(UPDATER_SOURCE_DIR) + "/scripts/pg-test-cluster.sh " +
                              action + " " + dir + " > /dev/null";
  return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 300;
  bool noLine = false;
  CLI::App app{"store_bench: the cost of a job's record in the local store and the line database"};
  app.add_option("--records", count, "Records per row")->check(CLI::Range(1, 1000000));
  app.add_flag("--no-line", noLine, "Leave out the rows that need a PostgreSQL server");
  CLI11_PARSE(app, argc, argv);

  char pattern[] = "/tmp/store-bench.XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  // The server's folder of its own: as root the server runs as another
  // user, who cannot enter this program's private temporary folder.
  char pgPattern[] = "/tmp/store-bench-pg.XXXXXX";
  if (!::mkdtemp(pgPattern)) return 1;
  const std::string pgDir = pgPattern;
  auto local = [&](const std::string& name) { return dir + "/" + name + "/updater.db"; };

  std::printf("store_bench: %d records per row; times of one Record() call (a job's end)\n", count);
  std::printf("%-44s %9s %9s %9s %9s %9s\n", "row", "records/s", "median ms", "p95 ms", "max ms",
              "warnings");
  Print(RecordJobs("SQLite local", {local("local"), "", "bench"}, count));
  Print(JobEnds("job's end (core), local only", {local("end-local"), "", "bench"}, count));

  if (!noLine) {
    if (!Script("start", pgDir)) {
      std::fprintf(stderr, "store_bench: the PostgreSQL test server did not start\n");
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
      std::filesystem::remove_all(pgDir, ignored);
      return 1;
    }
    std::string url;
    std::getline(std::ifstream(pgDir + "/url"), url);
    auto database = [&](const std::string& name) {
      PGconn* conn = PQconnectdb(url.c_str());
      PQclear(PQexec(conn, ("CREATE DATABASE " + name).c_str()));
      PQfinish(conn);
      const size_t at = url.find("/postgres?");
      return url.substr(0, at) + "/" + name + url.substr(at + 9);
    };
    Print(RecordJobs("SQLite local + PostgreSQL line (reachable)",
                     {local("line"), database("bench_line"), "bench"}, count));
    Print(JobEnds("job's end (core), with the line database",
                  {local("end-line"), database("bench_end_line"), "bench"}, count));

    // Rows that waited (the line was down): the push of all of them at once.
    RecordJobs("", {local("sync"), "", "bench"}, count);
    {
      std::string why;
      const auto store = RecordStore::Open({local("sync"), database("bench_sync"), "bench"}, &why);
      const Clock::time_point begin = Clock::now();
      const SyncResult sync = store->Sync();
      Row row;
      row.Name = "PostgreSQL line: sync of the rows waiting";
      row.PerSecond = static_cast<double>(sync.Pushed) /
                      std::chrono::duration<double>(Clock::now() - begin).count();
      row.Warnings = sync.Ok ? 0 : 1;
      Print(row);
    }
    Script("stop", pgDir);
  }

  const int few = std::min(count, 20);
  Print(RecordJobs("SQLite local + line refused (no server)",
                   {local("refused"), "postgresql:///none?host=" + dir + "/nothing", "bench"},
                   few));
  // A server that takes the connection and never says a word.
  const std::string silent = dir + "/silent";
  std::filesystem::create_directories(silent);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/.s.PGSQL.5432", silent.c_str());
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::listen(listener, 16) == 0) {
    Print(RecordJobs("SQLite local + line silent (never answers)",
                     {local("silent"), "postgresql:///none?host=" + silent, "bench"},
                     std::min(count, 3)));
  }
  ::close(listener);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::remove_all(pgDir, ignored);
  return 0;
}
