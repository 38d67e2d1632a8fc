// The record store against both of its databases: the same cases on the
// local SQLite file alone and with a real PostgreSQL line database. Cases
// that need several processes run this test program again in a helper mode
// (see main at the end).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "cli/history_command.h"
#include "line_cluster.h"
#include "store/record_store.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

enum class Backend { Local, Line };

const RecordTime Base = *ParseUtcText("2026-12-08T08:00:00.000Z");

DeviceIdentity Board(uint32_t serial, const std::string& product = "DEMO165") {
  DeviceIdentity id;
  id.ProductName = product;
  id.HardwareVersion = "1.0a";
  id.SerialNumber = serial;
  id.SerialNumberFound = true;
  id.BrandLabel = "LABEL, \"7\"";
  return id;
}

// A record with every field set, as an update through a front end leaves it.
JobRecord MakeRecord(const std::string& station, uint32_t serial, RecordOutcome outcome,
                     RecordTime started, bool touched = true) {
  JobRecord r;
  r.Station = station;
  r.Operator = "anna";
  r.Host = "pc-" + station;
  r.ProgramVersion = "1.07";
  r.FrontEnd = RecordFrontEnd::Station;
  r.Port = "COM" + std::to_string(1 + serial % 4);
  r.DeviceFile = "/dev/ttyUSB0";
  r.AdapterName = "usb-FTDI_FT232R_USB_UART_A10K5XYZ-if00-port0";
  r.AdapterSerial = "A10K5XYZ";
  r.Started = started;
  r.Ended = started + 41s;
  r.Phase(RecordPhase::Connect) = {started, started + 1s};
  r.Phase(RecordPhase::Identify) = {started + 1s, started + 2s};
  if (touched) r.Phase(RecordPhase::Erase) = {started + 2s, started + 5s};
  r.IdentityBefore = Board(serial);
  r.Source = IdentitySource::Device;
  r.IdentityWritten = Board(serial);
  r.Image = RecordImage{
      "/srv/fw/fw-2.10.bin", 70000, std::string(64, 'a'), "DEMO165", "1.0b", "2.10", {3, 4}};
  r.Outcome = outcome;
  r.FlashTouched = touched;
  if (outcome == RecordOutcome::Failed) {
    r.Verify = VerifyState::Mismatch;
    r.VerifyAddress = 0x8064;
    r.VerifyWritten = 0xF2;
    r.VerifyRead = 0xF6;
    r.VerifySector = 3;
    r.FailureCause = "verify-mismatch";
    r.FailureReason = "verify found a difference at 0x008064";
    r.ExitCode = 6;
  } else {
    r.Verify = outcome == RecordOutcome::Ok ? VerifyState::Passed : VerifyState::NotRun;
    r.ExitCode = outcome == RecordOutcome::Ok ? 0 : 130;
    if (outcome != RecordOutcome::Ok) r.FailureCause = "cancelled";
  }
  return r;
}

std::optional<std::string> SqliteValue(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::optional<std::string> value;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0)) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return value;
}

struct Child {
  int Status = -1;
  std::string Output;
};

// Runs this program once per argument list, all at once, and waits for all.
std::vector<Child> RunHelpers(const std::vector<std::vector<std::string>>& runs,
                              const std::string& dir) {
  std::vector<pid_t> pids;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string out = dir + "/helper-" + std::to_string(i) + ".out";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      std::vector<char*> argv{const_cast<char*>("store_tests")};
      for (const std::string& a : runs[i]) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv("/proc/self/exe", argv.data());
      ::_exit(127);
    }
    pids.push_back(pid);
  }
  std::vector<Child> children(runs.size());
  for (size_t i = 0; i < pids.size(); ++i) {
    int status = 0;
    ::waitpid(pids[i], &status, 0);
    children[i].Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(dir + "/helper-" + std::to_string(i) + ".out");
    children[i].Output.assign(std::istreambuf_iterator<char>(in), {});
  }
  return children;
}

bool Mentions(const std::vector<std::string>& warnings, const std::string& word) {
  for (const std::string& w : warnings) {
    if (w.find(word) != std::string::npos) return true;
  }
  return false;
}

TEST(JobRecord, TimesAsAnOperatorTypesThem) {
  const struct {
    const char* Text;
    const char* Expected;  // nullptr: refused
  } rows[] = {
      {"2026-12-08", "2026-12-08T00:00:00.000Z"},
      {"2026-12-08T11:05", "2026-12-08T11:05:00.000Z"},
      {"2026-12-08 11:05:07", "2026-12-08T11:05:07.000Z"},
      {"2026-12-08T11:05:07.123Z", "2026-12-08T11:05:07.123Z"},
      {"2026-02-30", nullptr},
      {"2026-12-08T25:00", nullptr},
      {"2026-12-08T11", nullptr},
      {"yesterday", nullptr},
      {"2026-12-08T11:05Zx", nullptr},
  };
  for (const auto& row : rows) {
    const std::optional<RecordTime> time = ParseUtcText(row.Text);
    ASSERT_EQ(time.has_value(), row.Expected != nullptr) << row.Text;
    if (time) {
      EXPECT_EQ(UtcText(*time), row.Expected);
    }
  }
}

TEST(JobRecord, AStoredRecordWithAWrongFieldIsRefusedNamingIt) {
  nlohmann::json json = RecordToJson(MakeRecord("A", 1, RecordOutcome::Failed, Base));
  ASSERT_TRUE(RecordFromJson(json));
  json["verify"]["written"] = 256;
  std::string why;
  EXPECT_FALSE(RecordFromJson(json, &why));
  EXPECT_EQ(why, "record field \"written\" is out of range");
  json = RecordToJson(MakeRecord("A", 1, RecordOutcome::Ok, Base));
  json["schema"] = RecordSchema + 1;
  EXPECT_FALSE(RecordFromJson(json, &why));
  EXPECT_NE(why.find("newer"), std::string::npos);
}

class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/updater-store.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    if (GetParam() == Backend::Line) {
      LineCluster& cluster = LineCluster::Get();
      ASSERT_TRUE(cluster.Up()) << cluster.Error();
      url_ = cluster.NewDatabase();
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  bool Line() const { return GetParam() == Backend::Line; }
  // One computer's store for the local backend; with a line database every
  // station has a computer (and so a local store) of its own.
  std::string LocalPath(const std::string& station) const {
    return Line() ? dir_ + "/" + station + "/updater.db" : dir_ + "/updater.db";
  }
  StoreConfig Config(const std::string& station) const {
    return {LocalPath(station), url_, station, 2000ms};
  }
  std::unique_ptr<RecordStore> Open(const std::string& station = "A") {
    std::string why;
    std::unique_ptr<RecordStore> store = RecordStore::Open(Config(station), &why);
    EXPECT_TRUE(store) << why;
    return store;
  }
  // A value from the database the records end in: the line one, else local.
  std::string Value(const std::string& sql, const std::string& station = "A") const {
    return (Line() ? LineCluster::Exec(url_, sql) : SqliteValue(LocalPath(station), sql))
        .value_or("(none)");
  }
  std::vector<std::string> Args(const std::string& mode, const std::string& station) const {
    return {mode, LocalPath(station), url_, station};
  }

  std::string dir_;
  std::string url_;
};

TEST_P(StoreTest, SchemaIsMadeOnceAndANewerOneIsRefused) {
  {
    auto a = Open("A");
    auto b = Open("B");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->Record(MakeRecord("A", 1, RecordOutcome::Ok, Base)).empty());
    EXPECT_TRUE(b->Record(MakeRecord("B", 2, RecordOutcome::Ok, Base)).empty());
  }
  auto again = Open("A");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Query({}).Items.size(), 2u);
  EXPECT_EQ(Value("SELECT COUNT(*) || ' ' || MAX(version) FROM schema_version"), "1 1");
  again.reset();

  ASSERT_TRUE(SqliteValue(LocalPath("A"),
                          "INSERT INTO schema_version VALUES (99, 'later') RETURNING version"));
  std::string why;
  EXPECT_FALSE(RecordStore::Open(Config("A"), &why));
  EXPECT_NE(why.find("newer Updater"), std::string::npos) << why;
}

TEST_P(StoreTest, HistoryAndIdentityFilesAreTakenOverOnce) {
  const fs::path folder = fs::path(LocalPath("A")).parent_path();
  fs::create_directories(folder / "identities");
  const char* lines[] = {
      R"({"time":"2026-12-01T10:00:00.000Z","frontEnd":"cli","job":"update","port":"COM1","deviceFile":"/dev/ttyS0","identity":{"productName":"DEMO165","hardwareVersion":"1.0a","serialNumber":4711,"brandLabel":"L"},"file":"fw.bin","sha256":"ab","outcome":"ok","verify":"passed"})",
      "{broken",
      R"({"time":"2026-12-01T11:00:00.000Z","frontEnd":"window","job":"read-back","port":"COM2","deviceFile":"/dev/ttyS1","identity":null,"file":"x.bin","sha256":null,"outcome":"failed","reason":"silent","verify":"not run"})",
      "",
      R"({"time":"2026-12-01T12:00:00.000Z","frontEnd":"cli","job":"update","port":"COM1","deviceFile":"/dev/ttyS0","identity":{"productName":"DEMO165","hardwareVersion":"1.0a","serialNumber":4712,"brandLabel":"L"},"file":"fw.bin","sha256":"ab","outcome":"failed","reason":"cut","verify":"not run"})",
  };
  {
    std::ofstream history(folder / "history.jsonl");
    for (const char* line : lines) history << line << "\n";
    std::ofstream identity(folder / "identities" / "serial-4711.json");
    identity << R"({"time":"2026-12-01 09:59:00","product":"DEMO165","hardware":"1.0a",)"
             << R"("serial":4711,"brand":"L","block":"424547494e")"
             << "}\n";
  }
  auto store = Open();
  ASSERT_TRUE(store);
  EXPECT_NE(store->ImportNote().find("3 job(s) taken over, 1 line(s) skipped"), std::string::npos)
      << store->ImportNote();
  if (Line()) {
    EXPECT_TRUE(store->Sync().Ok);
  }
  store.reset();
  // A job appended after the take-over is not taken over any more.
  std::string later = lines[0];
  later.replace(later.find("T10:00"), 6, "T13:00");
  std::ofstream(folder / "history.jsonl", std::ios::app) << later << "\n";

  store = Open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->ImportNote(), "");
  const StoreAnswer<JobRecord> jobs = store->Query({});
  ASSERT_EQ(jobs.Items.size(), 3u);
  EXPECT_EQ(jobs.Items[0].Board()->SerialNumber, 4711u);
  EXPECT_EQ(jobs.Items[1].Job, RecordJob::ReadBack);
  const StoreAnswer<StoredIdentity> identities = store->Identities("DEMO165", 4711);
  ASSERT_EQ(identities.Items.size(), 1u);
  EXPECT_EQ(identities.Items[0].Block, (std::vector<uint8_t>{'B', 'E', 'G', 'I', 'N'}));
  // The old history does not say how far a failed update got: its serial
  // number is not offered to another board on that ground.
  EXPECT_EQ(store->CanFinishWith("DEMO165", 4712).Verdict, FinishVerdict::NeverUpdated);

  if (Line()) {
    // A second computer taking over a copy of the same history doubles
    // nothing: only the job appended since is new to the line.
    const fs::path other = fs::path(LocalPath("B")).parent_path();
    fs::create_directories(other);
    fs::copy_file(folder / "history.jsonl", other / "history.jsonl");
    auto b = Open("B");
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->Sync().Ok);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM job_records"), "4");
  }
}

TEST_P(StoreTest, RecordsAreFoundBySerialStationSinceAndOutcome) {
  auto a = Open("A");
  auto b = Open("B");
  ASSERT_TRUE(a && b);
  const std::vector<JobRecord> records = {
      MakeRecord("A", 4711, RecordOutcome::Failed, Base),
      MakeRecord("B", 4711, RecordOutcome::Ok, Base + 1h),
      MakeRecord("A", 4712, RecordOutcome::Ok, Base + 2h),
      MakeRecord("B", 4713, RecordOutcome::Cancelled, Base + 3h),
  };
  for (const JobRecord& r : records) {
    EXPECT_TRUE((r.Station == "A" ? a : b)->Record(r).empty());
  }
  struct Row {
    const char* Name;
    RecordFilter Filter;
    std::vector<size_t> Expected;  // indexes into records, oldest first
  };
  RecordFilter bySerial, byStation, since, byOutcome, combined;
  bySerial.Serial = 4711;
  byStation.Station = "B";
  since.Since = Base + 2h;
  byOutcome.Outcome = RecordOutcome::Ok;
  combined.Serial = 4711;
  combined.Outcome = RecordOutcome::Ok;
  const Row rows[] = {
      {"serial", bySerial, {0, 1}},
      {"station", byStation, {1, 3}},
      {"since", since, {2, 3}},
      {"outcome", byOutcome, {1, 2}},
      {"serial and outcome", combined, {1}},
  };
  for (const Row& row : rows) {
    const StoreAnswer<JobRecord> answer = a->Query(row.Filter);
    // Station A sees B's records through the line database, or through the
    // computer's store that both share.
    const std::vector<size_t>& expected = row.Expected;
    ASSERT_EQ(answer.Items.size(), expected.size()) << row.Name;
    EXPECT_EQ(answer.FromLine, Line()) << row.Name;
    for (size_t i = 0; i < expected.size(); ++i) {
      // Every field comes back as it was recorded.
      EXPECT_EQ(RecordToJson(answer.Items[i]), RecordToJson(records[expected[i]])) << row.Name;
    }
  }
}

TEST_P(StoreTest, FourProcessesWritingAtOnceLoseAndDoubleNothing) {
  const char* stations[] = {"S1", "S2", "S3", "S4"};
  std::vector<std::vector<std::string>> runs;
  for (const char* station : stations) {
    std::vector<std::string> args = Args("--write", station);
    args.push_back("250");
    runs.push_back(args);
  }
  for (const Child& child : RunHelpers(runs, dir_)) EXPECT_EQ(child.Status, 0) << child.Output;
  if (Line()) {
    // Pushes that met another station's at the server may have waited.
    for (const char* station : stations) EXPECT_TRUE(Open(station)->Sync().Ok);
  }
  EXPECT_EQ(Value("SELECT COUNT(*) || ' ' || COUNT(DISTINCT uuid) FROM job_records", "S1"),
            "1000 1000");
  for (const char* station : stations) {
    EXPECT_EQ(
        Value(std::string("SELECT COUNT(*) FROM job_records WHERE station = '") + station + "'",
              "S1"),
        "250");
  }
}

TEST_P(StoreTest, SerialNumbersAreNeverGivenTwice) {
  // A board already known to carry 101 keeps it to itself.
  auto a = Open("A");
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->SaveIdentity(Board(101), {0x42}, "COM1").empty());
  std::vector<std::vector<std::string>> runs;
  for (const char* station : {"A", "B"}) {
    std::vector<std::string> args = Args("--reserve", station);
    args.insert(args.end(), {"DEMO165", "100", "103", "2"});
    runs.push_back(args);
  }
  std::multiset<std::string> results;
  for (const Child& child : RunHelpers(runs, dir_)) {
    EXPECT_EQ(child.Status, 0) << child.Output;
    std::istringstream lines(child.Output);
    for (std::string line; std::getline(lines, line);) results.insert(line);
  }
  EXPECT_EQ(results, (std::multiset<std::string>{"100", "102", "103", "exhausted"}));

  std::string why;
  EXPECT_TRUE(a->ReleaseSerial("DEMO165", 102, &why)) << why;
  EXPECT_TRUE(a->MarkSerialUsed("DEMO165", 103, &why)) << why;
  EXPECT_FALSE(a->ReleaseSerial("DEMO165", 103, &why));
  EXPECT_NE(why.find("already used"), std::string::npos) << why;
  const SerialReservation again = a->ReserveSerial("DEMO165", 100, 103);
  EXPECT_EQ(again.Status, ReserveStatus::Reserved) << again.Reason;
  EXPECT_EQ(again.Serial, 102u);
  EXPECT_EQ(a->ReserveSerial("DEMO165", 100, 103).Status, ReserveStatus::Exhausted);
  EXPECT_EQ(a->ReserveSerial("OTHER165", 100, 103).Serial, 100u);
}

TEST_P(StoreTest, AnIdentityFinishesOnlyABoardWhoseLastUpdateIsUnfinished) {
  struct Row {
    const char* Name;
    std::vector<std::pair<RecordOutcome, bool>> Updates;  // outcome, flash touched; oldest first
    FinishVerdict Expected;
  };
  const Row rows[] = {
      {"never updated", {}, FinishVerdict::NeverUpdated},
      {"refused only", {{RecordOutcome::Refused, false}}, FinishVerdict::NeverUpdated},
      {"finished", {{RecordOutcome::Ok, true}}, FinishVerdict::Finished},
      {"cut after the erase", {{RecordOutcome::Cancelled, true}}, FinishVerdict::Unfinished},
      {"finished, then cut",
       {{RecordOutcome::Ok, true}, {RecordOutcome::Failed, true}},
       FinishVerdict::Unfinished},
      {"cut, then refused",
       {{RecordOutcome::Failed, true}, {RecordOutcome::Refused, false}},
       FinishVerdict::Unfinished},
      {"cut, then finished",
       {{RecordOutcome::Failed, true}, {RecordOutcome::Ok, true}},
       FinishVerdict::Finished},
  };
  // Station B does the updates; station A asks (through the line database
  // when there is one, else the two share this computer's store).
  auto a = Open("A");
  auto b = Open("B");
  ASSERT_TRUE(a && b);
  uint32_t serial = 5000;
  for (const Row& row : rows) {
    ++serial;
    RecordTime at = Base;
    for (const auto& [outcome, touched] : row.Updates) {
      EXPECT_TRUE(b->Record(MakeRecord("B", serial, outcome, at, touched)).empty());
      at += 1h;
    }
    const FinishCheck check = a->CanFinishWith("DEMO165", serial);
    EXPECT_EQ(check.Verdict, row.Expected) << row.Name << ": " << check.Reason;
    if (row.Expected == FinishVerdict::Finished) {
      EXPECT_NE(check.Reason.find("on station B at 2026-12-08 0"), std::string::npos)
          << check.Reason;
    }
  }
}

TEST_P(StoreTest, IdentitiesAreKeptByProductAndSerialNumber) {
  auto a = Open("A");
  auto b = Open("B");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->SaveIdentity(Board(4711, "DEMO165"), {1, 2, 3}, "COM1").empty());
  EXPECT_TRUE(a->SaveIdentity(Board(4711, "OTHER165"), {4}, "COM2").empty());
  DeviceIdentity newer = Board(4711, "DEMO165");
  newer.HardwareVersion = "1.0b";
  std::this_thread::sleep_for(2ms);  // a later read, by the clock the rows carry
  EXPECT_TRUE(a->SaveIdentity(newer, {5}, "COM3").empty());
  DeviceIdentity blank;
  blank.ProductName = "DEMO165";
  EXPECT_TRUE(Mentions(a->SaveIdentity(blank, {}, "COM4"), "without a serial number"));

  RecordStore& reader = Line() ? *b : *a;
  EXPECT_EQ(reader.Identities({}, 4711).Items.size(), 2u);
  const StoreAnswer<StoredIdentity> demo = reader.Identities("DEMO165", 4711);
  ASSERT_EQ(demo.Items.size(), 1u);
  EXPECT_EQ(demo.Items[0].Identity.HardwareVersion, "1.0b");
  EXPECT_EQ(demo.Items[0].Block, std::vector<uint8_t>{5});
  EXPECT_EQ(demo.Items[0].Port, "COM3");
  EXPECT_EQ(demo.Items[0].Station, "A");
}

TEST_P(StoreTest, HistoryCommandPrintsTableJsonAndCsv) {
  auto a = Open("A");
  ASSERT_TRUE(a);
  JobRecord record = MakeRecord("A", 4711, RecordOutcome::Ok, Base);
  EXPECT_TRUE(a->Record(record).empty());
  EXPECT_TRUE(a->Record(MakeRecord("A", 4712, RecordOutcome::Ok, Base)).empty());
  HistoryOptions options;
  options.StorePath = LocalPath("A");
  options.Db = url_;
  options.Serial = 4711;
  struct Row {
    bool Json, Csv;
    std::string Since;
    int Code;
    std::string Expected;  // in the output
  };
  const Row rows[] = {
      {false, false, "", 0, "2026-12-08 08:00:00  A        COM4  update  DEMO165  4711    2.10"},
      {true, false, "", 0, "\"uuid\": \"" + record.Uuid + "\""},
      {false, true, "", 0, ",\"LABEL, \"\"7\"\"\","},
      {false, false, "2026-12-08T09", 1, ""},
      {true, true, "", 1, ""},
  };
  for (const Row& row : rows) {
    options.Json = row.Json;
    options.Csv = row.Csv;
    options.Since = row.Since;
    std::ostringstream out, err;
    EXPECT_EQ(RunHistory(options, out, err), row.Code) << err.str();
    EXPECT_NE(out.str().find(row.Expected), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("4712"), std::string::npos);
  }
  std::ostringstream out, err;
  options.StorePath = dir_;  // a folder, not a store
  options.Json = options.Csv = false;
  EXPECT_EQ(RunHistory(options, out, err), 7) << err.str();
}

INSTANTIATE_TEST_SUITE_P(Both, StoreTest, ::testing::Values(Backend::Local, Backend::Line),
                         [](const auto& info) {
                           return info.param == Backend::Local ? "Local" : "Line";
                         });

// The line database alone: what happens when it goes away.
class LineTest : public StoreTest {};

TEST_P(LineTest, ARetriedPushDoublesNothing) {
  auto a = Open("A");
  ASSERT_TRUE(a);
  const JobRecord record = MakeRecord("A", 1, RecordOutcome::Ok, Base);
  EXPECT_TRUE(a->Record(record).empty());
  EXPECT_TRUE(a->Record(record).empty());
  // As if the push had reached the server but its end had not come back.
  ASSERT_TRUE(SqliteValue(
      LocalPath("A"), "INSERT INTO pending_records VALUES ('" + record.Uuid + "') RETURNING uuid"));
  const SyncResult sync = a->Sync();
  EXPECT_TRUE(sync.Ok) << sync.Error;
  EXPECT_EQ(sync.Pushed, 1);
  EXPECT_EQ(sync.Waiting, 0);
  EXPECT_EQ(Value("SELECT COUNT(*) FROM job_records"), "1");
  EXPECT_EQ(SqliteValue(LocalPath("A"), "SELECT COUNT(*) FROM job_records"), "1");
}

TEST_P(LineTest, TheDatabaseStoppedInARunOfTwentyLosesNothing) {
  auto a = Open("A");
  ASSERT_TRUE(a);
  LineCluster& cluster = LineCluster::Get();
  std::vector<std::string> uuids;
  for (int i = 0; i < 20; ++i) {
    if (i == 7) {
      ASSERT_TRUE(cluster.Stop());
    }
    if (i == 14) {
      ASSERT_TRUE(cluster.Start());
    }
    const JobRecord record = MakeRecord("A", 100 + i, RecordOutcome::Ok, Base + i * 1min);
    uuids.push_back(record.Uuid);
    const std::vector<std::string> warnings = a->Record(record);
    if (i >= 7 && i < 14) {
      EXPECT_TRUE(Mentions(warnings, "waits in")) << i;
      EXPECT_TRUE(Mentions(warnings, "updater-cli sync")) << i;
    } else {
      EXPECT_TRUE(warnings.empty()) << i << ": " << warnings.front();
    }
  }
  const SyncResult sync = a->Sync();
  EXPECT_TRUE(sync.Ok) << sync.Error;
  EXPECT_EQ(sync.Waiting, 0);
  EXPECT_EQ(Value("SELECT COUNT(*) || ' ' || COUNT(DISTINCT uuid) FROM job_records"), "20 20");
  EXPECT_EQ(a->Query({}).Items.back().Uuid, uuids.back());
}

TEST_P(LineTest, ADatabaseThatNeverAnswersHoldsNoJobAndGivesNoNumber) {
  // A server that takes the connection and then says nothing: the socket
  // listens, nobody accepts.
  const std::string silent = dir_ + "/silent";
  fs::create_directories(silent);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = silent + "/.s.PGSQL.5432";
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  url_ = "postgresql:///silent?host=" + silent;
  auto a = Open("A");
  ASSERT_TRUE(a);
  const JobRecord record = MakeRecord("A", 1, RecordOutcome::Ok, Base);
  EXPECT_TRUE(Mentions(a->Record(record), "waits in"));
  EXPECT_EQ(SqliteValue(LocalPath("A"), "SELECT uuid FROM pending_records"), record.Uuid);
  const SerialReservation reservation = a->ReserveSerial("DEMO165", 1, 10);
  EXPECT_EQ(reservation.Status, ReserveStatus::Unavailable);
  EXPECT_NE(reservation.Reason.find("numbers come from it alone"), std::string::npos);
  EXPECT_EQ(SqliteValue(LocalPath("A"), "SELECT COUNT(*) FROM serial_numbers"), "0");
  // A board this computer knows nothing of might have been finished by
  // another station: without the line database that cannot be told.
  EXPECT_EQ(a->CanFinishWith("DEMO165", 2).Verdict, FinishVerdict::Unknown);
  ::close(listener);
}

INSTANTIATE_TEST_SUITE_P(PostgreSQL, LineTest, ::testing::Values(Backend::Line),
                         [](const auto&) { return "Line"; });

// Helper modes, run by the tests above as separate processes:
//   --write LOCAL LINE STATION COUNT
//   --reserve LOCAL LINE STATION PRODUCT FROM TO COUNT   (prints each number or "exhausted")
int Helper(const std::vector<std::string>& args) {
  StoreConfig config{args[1], args[2], args[3], 2000ms};
  std::string why;
  const std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  if (!store) {
    std::printf("%s\n", why.c_str());
    return 2;
  }
  int failures = 0;
  if (args[0] == "--write") {
    const int count = std::stoi(args[4]);
    for (int i = 0; i < count; ++i) {
      const JobRecord record =
          MakeRecord(config.Station, static_cast<uint32_t>(i), RecordOutcome::Ok, Base + i * 1s);
      for (const std::string& warning : store->Record(record)) {
        // A push that waits is taken by the next one; a local row must not fail.
        if (warning.find("not in the local store") != std::string::npos) {
          std::printf("%s\n", warning.c_str());
          ++failures;
        }
      }
    }
  } else {
    for (int i = 0; i < std::stoi(args[7]); ++i) {
      const SerialReservation r =
          store->ReserveSerial(args[4], static_cast<uint32_t>(std::stoul(args[5])),
                               static_cast<uint32_t>(std::stoul(args[6])));
      if (r.Status == ReserveStatus::Reserved) std::printf("%u\n", r.Serial);
      if (r.Status == ReserveStatus::Exhausted) std::printf("exhausted\n");
      if (r.Status == ReserveStatus::Unavailable)
        std::printf("unavailable: %s\n", r.Reason.c_str()), ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::string(argv[1]) == "--write" || std::string(argv[1]) == "--reserve")) {
    return Helper(std::vector<std::string>(argv + 1, argv + argc));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
