// updater-cli station end to end: the real program as a process, simulated
// units on pseudo-terminals behind COM1 to COM3 that put their next board on
// the line whenever the program closes the port (a power cycle), and the
// record store's serial-number counter, local or on a real PostgreSQL
// server. Each row checks what the operator and a script see (the PASS and
// FAIL lines, the counters, the exit code) and what the boards hold.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "firmware/identity.h"
#include "rig.h"
#include "sim/image_builder.h"
#include "store/record_store.h"
#include "tests/store/line_cluster.h"

namespace integration {
namespace {

using Json = nlohmann::json;

constexpr auto RunLimit = 180s;
// Sectors 0 and 1: small enough to be quick, and the identity sector among
// them, so that a new board gets its first identity.
constexpr uint32_t ImageBytes = 24 * 1024;

std::string TextOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CliRun {
  int Code = -1;
  std::string Out;
  std::string Err;
};

// updater-cli started as a process with its standard input closed, its
// output in files of `folder` named from `name`, the store in `state`.
class Cli {
 public:
  Cli(const WorkFolder& folder, const std::string& name, const std::string& state,
      std::vector<std::string> args)
      : out_(folder.File(name + ".out")), err_(folder.File(name + ".err")) {
    args.insert(args.begin(), UPDATER_CLI_PATH);
    child_ = ::fork();
    if (child_ == 0) {
      ::setenv("XDG_STATE_HOME", state.c_str(), 1);
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }

  // Waits until standard error holds `text`; false when the program ended
  // or the run's limit passed first.
  bool WaitForError(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + RunLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (TextOf(err_).find(text) != std::string::npos) return true;
      if (::waitpid(child_, nullptr, WNOHANG) != 0) return false;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  void Signal(int number) { ::kill(child_, number); }

  CliRun Wait() {
    CliRun run;
    const auto deadline = std::chrono::steady_clock::now() + RunLimit;
    int status = 0;
    while (::waitpid(child_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(child_, SIGKILL);
        ::waitpid(child_, &status, 0);
        ADD_FAILURE() << "updater-cli station did not end within " << RunLimit.count() << " s";
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    if (WIFEXITED(status)) run.Code = WEXITSTATUS(status);
    run.Out = TextOf(out_);
    run.Err = TextOf(err_);
    return run;
  }

 private:
  std::string out_;
  std::string err_;
  pid_t child_ = -1;
};

std::string MakeImage(const WorkFolder& folder) {
  sim::ImageOptions options;
  options.Size = ImageBytes;
  options.ProductName = "DEMO165";
  options.HardwareVersion = "1.0b";
  std::string error;
  EXPECT_TRUE(sim::WriteImageFile(folder.File("fw.bin"), options, &error)) << error;
  return folder.File("fw.bin");
}

sim::BoardSettings Board(uint32_t serial) {
  sim::BoardSettings board = rig::DemoBoard();
  board.Identity.SerialNumber = serial;
  return board;
}

sim::BoardSettings BlankBoard() {
  sim::BoardSettings board = rig::DemoBoard();
  board.NoIdentity = true;
  return board;
}

// A unit whose boards come one per close of the port, the first of `boards`
// on the line at the start.
DeviceSetup BoardsInTurn(std::vector<sim::BoardSettings> boards) {
  DeviceSetup setup;
  setup.PowerCycleOnClose = true;
  setup.ReplugPause = 300ms;
  setup.Identity = boards.front().Identity;
  setup.NoIdentity = boards.front().NoIdentity;
  setup.Faults = boards.front().Faults;
  setup.NextBoards.assign(boards.begin() + 1, boards.end());
  return setup;
}

// The identity board `n` of `device` carried when it last powered down.
std::optional<DeviceIdentity> IdentityOnBoard(const SimulatedDevice& device, int n) {
  const std::optional<sim::Flash> flash = device.PoweredDownFlash(n);
  if (!flash) return std::nullopt;
  const std::span<const uint8_t> block = flash->Bytes().subspan(sim::IdentityAddress, 4096);
  if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; })) {
    return std::nullopt;
  }
  DeviceIdentity identity;
  ScanDeviceIdentity(block, identity);
  return identity;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& start) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(start, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// "COM1  4  1  2.3": the summary's counts of a port or of the station.
::testing::AssertionResult Counted(const std::string& out, const std::string& name, int passed,
                                   int failed) {
  const std::regex row("^" + name + " +" + std::to_string(passed) + " +" + std::to_string(failed) +
                       " +[0-9]+\\.[0-9]$");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, row)) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "no summary row \"" << name << " " << passed << " " << failed << "\" in:\n"
         << out;
}

// The records the station kept in its store under `state`, oldest first.
std::vector<Json> StoredRecords(const std::string& state) {
  StoreConfig config;
  config.LocalPath = state + "/updater/updater.db";
  std::string why;
  const std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  EXPECT_TRUE(store) << why;
  std::vector<Json> records;
  if (!store) return records;
  for (const JobRecord& record : store->Query({}).Items) {
    records.push_back(Json::parse(RecordJsonText(record)));
  }
  return records;
}

TEST(Station, ThreePortsTakeFiveBoardsEachAndCountThem) {
  WorkFolder folder;
  const std::string image = MakeImage(folder);
  // COM1: the third board falls silent while its identity is read, so its
  // serial number is never known.
  std::vector<sim::BoardSettings> one{Board(101), Board(102), Board(103), Board(104), Board(105)};
  one[2].Faults.SilentAfterSent = 600;
  // COM2: a bit of the second board's sector 1 does not take; the fourth
  // turn is the third board powered again, which is left as it is.
  std::vector<sim::BoardSettings> two{Board(201), Board(202), Board(203),
                                      Board(203), Board(204), Board(205)};
  two[1].Faults.BitFlips.push_back({1, 0x10, 3});
  two[3].SameAsBefore = true;
  // COM3: the adapter is pulled as the third board goes on the line.
  std::vector<sim::BoardSettings> three{Board(301), Board(302), Board(303), Board(304), Board(305)};
  three[2].Replug = true;
  SimulatedDevice com1(folder, BoardsInTurn(one));
  SimulatedDevice com2(folder, BoardsInTurn(two));
  SimulatedDevice com3(folder, BoardsInTurn(three));
  ASSERT_TRUE(com1.Start(1));
  ASSERT_TRUE(com2.Start(2));
  ASSERT_TRUE(com3.Start(3));

  const std::string state = folder.File("state");
  const CliRun run = Cli(folder, "station", state,
                         {"station", "--port", "COM1", "--port", "COM2", "--port", "COM3",
                          "--count", "5", "--timeout", "1", "--files", folder.Path(), image})
                         .Wait();

  // The verify difference is the worst a board was left in.
  EXPECT_EQ(run.Code, 6) << run.Err;
  EXPECT_TRUE(Counted(run.Out, "COM1", 4, 1));
  EXPECT_TRUE(Counted(run.Out, "COM2", 4, 1));
  EXPECT_TRUE(Counted(run.Out, "COM3", 5, 0));
  EXPECT_TRUE(Counted(run.Out, "station", 13, 2));
  const std::vector<std::string> fails = LinesWith(run.Out, "FAIL ");
  ASSERT_EQ(fails.size(), 2u) << run.Out;
  EXPECT_EQ(LinesWith(run.Out, "PASS ").size(), 13u) << run.Out;
  EXPECT_NE(run.Out.find("FAIL COM1 serial unknown"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("FAIL COM2 serial 202"), std::string::npos) << run.Out;
  // Each failure reached standard error with its cause.
  EXPECT_NE(run.Err.find("COM2: serial 202: verify found a difference at 0x004010"),
            std::string::npos)
      << run.Err;
  EXPECT_NE(run.Err.find("COM1: serial unknown: identify"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("COM2: serial 203 was just updated on this port"), std::string::npos)
      << run.Err;

  // One update record per board that was updated: the silent one was not.
  int ok = 0;
  int mismatch = 0;
  for (const Json& record : StoredRecords(state)) {
    EXPECT_EQ(record["frontEnd"], "station");
    if (record["job"] != "update") continue;
    ok += record["outcome"] == "ok" ? 1 : 0;
    mismatch += record["verify"]["result"] == "mismatch" ? 1 : 0;
  }
  EXPECT_EQ(ok, 13);
  EXPECT_EQ(mismatch, 1);
  // Every board kept its own serial number.
  for (int n = 1; n <= 5; ++n) {
    const std::optional<DeviceIdentity> identity = IdentityOnBoard(com3, n);
    ASSERT_TRUE(identity) << "board " << n;
    EXPECT_EQ(identity->SerialNumber, 300u + static_cast<uint32_t>(n));
  }
}

TEST(Station, NewBoardsTakeTheRangeInTurnAndTheOneTooManyIsRefusedBeforeAnyErase) {
  WorkFolder folder;
  const std::string image = MakeImage(folder);
  SimulatedDevice device(folder,
                         BoardsInTurn({BlankBoard(), BlankBoard(), BlankBoard(), BlankBoard()}));
  ASSERT_TRUE(device.Start(1));

  const CliRun run = Cli(folder, "station", folder.File("state"),
                         {"station", "--port", "COM1", "--count", "4", "--files", folder.Path(),
                          "--new-identity", "--product", "DEMO165", "--hwver", "1.0a", "--brand",
                          "ACME", "--serial-from", "500", "--serial-to", "502", image})
                         .Wait();

  EXPECT_EQ(run.Code, 4) << run.Err;
  EXPECT_TRUE(Counted(run.Out, "COM1", 3, 1));
  EXPECT_NE(run.Err.find("the serial numbers 500 to 502 are all given out; nothing was erased"),
            std::string::npos)
      << run.Err;
  for (int n = 1; n <= 3; ++n) {
    const std::optional<DeviceIdentity> identity = IdentityOnBoard(device, n);
    ASSERT_TRUE(identity) << "board " << n;
    EXPECT_EQ(identity->SerialNumber, 499u + static_cast<uint32_t>(n));
    EXPECT_EQ(identity->ProductName, "DEMO165");
    EXPECT_EQ(identity->BrandLabel, "ACME");
  }
  const std::vector<std::string> events = device.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e == "erase sector 0"; }),
            3);
  EXPECT_FALSE(IdentityOnBoard(device, 4));
}

TEST(Station, ABoardWhoseSerialIsNotExpectedIsRefusedBeforeAnyErase) {
  WorkFolder folder;
  const std::string image = MakeImage(folder);
  SimulatedDevice device(folder, BoardsInTurn({Board(101), Board(102)}));
  ASSERT_TRUE(device.Start(1));
  ASSERT_TRUE(folder.Write("expected.txt", {'#', ' ', 'l', 'o', 't', '\n', '1', '0', '1', '\n'}));

  const CliRun run = Cli(folder, "station", folder.File("state"),
                         {"station", "--port", "COM1", "--count", "2", "--files", folder.Path(),
                          "--expect-serial", folder.File("expected.txt"), image})
                         .Wait();

  EXPECT_EQ(run.Code, 4) << run.Err;
  EXPECT_NE(run.Out.find("PASS COM1 serial 101"), std::string::npos) << run.Out;
  EXPECT_NE(run.Err.find("serial 102 is not one of the serial numbers expected"), std::string::npos)
      << run.Err;
  const std::vector<std::string> events = device.Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e == "erase sector 0"; }),
            1);
}

TEST(Station, ANumberIsUsedUpOnceItsIdentitySectorIsBeingProgrammed) {
  WorkFolder folder;
  const std::string image = MakeImage(folder);
  // The first board fails before its identity sector: its number goes back.
  // The second fails inside it: the number may be on the board, and is used.
  std::vector<sim::BoardSettings> boards{BlankBoard(), BlankBoard(), BlankBoard()};
  boards[0].Faults.FailingSectors.insert(0);
  boards[1].Faults.FailingSectors.insert(1);
  SimulatedDevice device(folder, BoardsInTurn(boards));
  ASSERT_TRUE(device.Start(1));

  const CliRun run =
      Cli(folder, "station", folder.File("state"),
          {"station", "--port", "COM1", "--count", "3", "--files", folder.Path(), "--new-identity",
           "--product", "DEMO165", "--hwver", "1.0a", "--serial-from", "500", image})
          .Wait();

  EXPECT_EQ(run.Code, 5) << run.Err;
  EXPECT_NE(run.Out.find("FAIL COM1 serial 500"), std::string::npos) << run.Out;
  const std::optional<DeviceIdentity> third = IdentityOnBoard(device, 3);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->SerialNumber, 501u);
}

TEST(Station, CtrlCFinishesTheBoardInProgressAndASecondOneCancelsIt) {
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "twice" : "once");
    WorkFolder folder;
    const std::string image = MakeImage(folder);
    DeviceSetup setup = BoardsInTurn({Board(101), Board(102)});
    setup.LineRate = 115200;  // the board takes seconds: time to press Ctrl-C
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start(1));

    Cli station(folder, "station", folder.File("state"),
                {"station", "--port", "COM1", "--files", folder.Path(), image});
    ASSERT_TRUE(station.WaitForError("COM1: device DEMO165"));
    station.Signal(SIGINT);
    ASSERT_TRUE(station.WaitForError("stopping: the boards in progress are finished"));
    if (twice) station.Signal(SIGINT);
    const CliRun run = station.Wait();

    if (twice) {
      EXPECT_EQ(run.Code, 130) << run.Err;
      EXPECT_NE(run.Out.find("FAIL COM1 serial 101"), std::string::npos) << run.Out;
      EXPECT_NE(run.Err.find("cancelled"), std::string::npos) << run.Err;
    } else {
      EXPECT_EQ(run.Code, 0) << run.Err;
      EXPECT_TRUE(Counted(run.Out, "COM1", 1, 0));
      EXPECT_EQ(IdentityOnBoard(device, 1)->SerialNumber, 101u);
    }
    // The second board was never touched.
    EXPECT_EQ(device.Events().back().find("erase"), std::string::npos);
  }
}

TEST(Station, TwoStationsSharingTheLineDatabaseNeverGiveANumberTwice) {
  LineCluster& cluster = LineCluster::Get();
  ASSERT_TRUE(cluster.Up()) << cluster.Error();
  const std::string url = cluster.NewDatabase();
  WorkFolder folder;
  const std::string image = MakeImage(folder);
  const std::vector<sim::BoardSettings> blanks(3, BlankBoard());
  SimulatedDevice first(folder, BoardsInTurn(blanks));
  SimulatedDevice second(folder, BoardsInTurn(blanks));
  ASSERT_TRUE(first.Start(1));
  ASSERT_TRUE(second.Start(2));

  auto station = [&](const std::string& port, const std::string& name) {
    return Cli(folder, name, folder.File(name + "-state"),
               {"station", "--port", port, "--count", "3", "--files", folder.Path(), "--db", url,
                "--new-identity", "--product", "DEMO165", "--hwver", "1.0a", "--serial-from",
                "7000", "--serial-to", "7005", image});
  };
  Cli a = station("COM1", "a");
  Cli b = station("COM2", "b");
  const CliRun runA = a.Wait();
  const CliRun runB = b.Wait();
  EXPECT_EQ(runA.Code, 0) << runA.Err;
  EXPECT_EQ(runB.Code, 0) << runB.Err;

  std::set<uint32_t> serials;
  for (const SimulatedDevice* device : {&first, &second}) {
    for (int n = 1; n <= 3; ++n) {
      const std::optional<DeviceIdentity> identity = IdentityOnBoard(*device, n);
      ASSERT_TRUE(identity) << "board " << n;
      serials.insert(identity->SerialNumber);
    }
  }
  EXPECT_EQ(serials, (std::set<uint32_t>{7000, 7001, 7002, 7003, 7004, 7005}));
}

}  // namespace
}  // namespace integration
