// updater-cli end to end: the real program, started as a process, against
// simulated units on pseudo-terminals reached as COM1 to COM3. Every row
// checks what a script sees (the exit code, the words on its output, the
// report) and what the unit's flash holds afterwards.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli_run.h"
#include "core/history.h"
#include "core/identity_store.h"

namespace integration {
namespace {

using Json = nlohmann::json;

TEST(Cli, UpdateVerifiesWritesTheReportAndTheRecord) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start(1));
  const sim::Flash before = device.ReadFlash();
  const std::string image = MakeImage(folder, "fw.bin");
  const std::optional<Bytes> patched = PatchedImage(folder, image, DemoIdentity());
  ASSERT_TRUE(patched);

  const CliRun run =
      RunCli(folder, {"update", "--port", "COM1", image, "--files", folder.Path(), "--report",
                      folder.File("r.json"), "--station", "line-3", "--operator", "ana"});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("verify passed"), std::string::npos) << run.Out;
  EXPECT_EQ(
      FirstDifference(device.ReadFlash(), FlashAfterProgramming(before, *patched, ImageSectorsInt)),
      std::nullopt);

  const Json report = Json::parse(TextOf(folder.File("r.json")));
  ASSERT_EQ(report["ports"].size(), 1u);
  const Json& port = report["ports"][0];
  EXPECT_EQ(port["identityBefore"]["serialNumber"], 4711);
  EXPECT_EQ(port["identityWritten"]["productName"], "DEMO165");
  EXPECT_EQ(port["image"]["size"], ImageBytes);
  EXPECT_EQ(port["image"]["sha256"], FileSha256(image).value_or(""));
  EXPECT_EQ(port["image"]["sectors"], Json(ImageSectorsInt));
  EXPECT_EQ(port["verify"]["result"], "passed");
  EXPECT_EQ(port["exitCode"], 0);
  EXPECT_EQ(report["exitCode"], 0);

  EXPECT_EQ(report["schema"], 1);
  EXPECT_EQ(port["station"], "line-3");
  EXPECT_EQ(port["operator"], "ana");
  EXPECT_EQ(port["image"]["firmwareVersion"], "2.00");
  EXPECT_EQ(port["image"]["path"], std::filesystem::absolute(image).string());
  for (const char* phase : {"connect", "identify", "erase", "program", "verify"}) {
    EXPECT_TRUE(port["phases"][phase]["started"].is_string()) << phase;
    EXPECT_TRUE(port["phases"][phase]["ended"].is_string()) << phase;
  }

  // One record of the whole operation, the same as the report's.
  const std::vector<Json> records = StoredRecords(folder);
  ASSERT_EQ(records.size(), 1u);
  const Json& record = records[0];
  EXPECT_EQ(record["uuid"], port["uuid"]);
  EXPECT_EQ(record["job"], "update");
  EXPECT_EQ(record["frontEnd"], "cli");
  EXPECT_EQ(record["station"], "line-3");
  EXPECT_EQ(record["identityBefore"]["serialNumber"], 4711);
  EXPECT_EQ(record["identitySource"], "device");
  EXPECT_EQ(record["outcome"], "ok");
  EXPECT_EQ(record["verify"]["result"], "passed");
  EXPECT_EQ(record["exitCode"], 0);
  EXPECT_FALSE(std::filesystem::exists(folder.File("state/updater/history.jsonl")));
}

TEST(Cli, IdentifyReadBackAndEraseOnlyEachLeaveOneRecord) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start(1));
  const sim::Flash before = device.ReadFlash();

  CliRun run = RunCli(folder, {"identify", "--port", "COM1", "--files", folder.Path()});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("DEMO165, hardware 1.0a, serial 4711, brand label LABEL-7"),
            std::string::npos)
      << run.Out;

  const std::string destination = folder.File("sectors.2bf");
  device.Pty().PowerCycle(false);
  run = RunCli(folder, {"read", "--port", "COM1", destination, "--files", folder.Path()});
  ASSERT_EQ(run.Code, 0) << run.Err;
  Bytes expected(before.Sector(8).begin(), before.Sector(8).end());
  expected.insert(expected.end(), before.Sector(9).begin(), before.Sector(9).end());
  EXPECT_EQ(ReadFileBytes(destination), expected);

  // Without --yes and without a terminal to ask on, nothing is erased.
  run = RunCli(folder, {"erase", "--port", "COM1", "--files", folder.Path()});
  EXPECT_EQ(run.Code, 1);
  EXPECT_FALSE(device.SawEvent("erase"));

  const Bytes empty(1000, 0x5A);
  ASSERT_TRUE(folder.Write("empty", empty));
  device.Pty().PowerCycle(false);
  run = RunCli(folder, {"erase", "--port", "COM1", "--yes", "--files", folder.Path()});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_EQ(FirstDifference(device.ReadFlash(), FlashAfterProgramming(before, empty, {8, 9})),
            std::nullopt);

  // The erase that was not confirmed never started: no record.
  const std::vector<Json> records = StoredRecords(folder);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["job"], "identify");
  EXPECT_EQ(records[1]["job"], "read-back");
  EXPECT_EQ(records[1]["image"]["path"], destination);
  EXPECT_EQ(records[2]["job"], "erase");
  EXPECT_EQ(records[2]["flashTouched"], true);
}

// An update of serial 4711 fails after the first erase; the board, its
// identity block gone, is finished with the identity the store kept. A second
// blank board is refused that identity before anything is erased, by serial
// number and as a file, until --force-identity overrides (recorded).
TEST(Cli, AnInterruptedUpdateIsFinishedWithTheKeptIdentityButNeverTwice) {
  WorkFolder folder;
  const std::string image = MakeImage(folder, "fw.bin");
  const std::vector<std::string> update{"update",  "--port",      "COM1",      image,
                                        "--files", folder.Path(), "--station", "A"};
  {
    DeviceSetup setup;
    setup.Faults.FailingSectors = {4};
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start(1));
    const CliRun run = RunCli(folder, update);
    ASSERT_EQ(run.Code, 5) << run.Err;
  }
  bool erased = false;
  auto blankBoard = [&](const std::vector<std::string>& extra) {
    DeviceSetup setup;
    setup.NoIdentity = true;
    SimulatedDevice device(folder, setup);
    EXPECT_TRUE(device.Start(1));
    std::vector<std::string> args = update;
    args.insert(args.end(), extra.begin(), extra.end());
    const CliRun run = RunCli(folder, args);
    erased = device.SawEvent("erase");
    return run;
  };
  CliRun run = blankBoard({});
  EXPECT_EQ(run.Code, 4) << run.Err;
  EXPECT_NE(run.Err.find("--identity"), std::string::npos) << run.Err;

  run = blankBoard({"--identity", "4711"});
  ASSERT_EQ(run.Code, 0) << run.Err;

  // The identity as a file, as an operator keeps one.
  const DeviceIdentity kept{"DEMO165", "1.0a", 4711, true, "LABEL-7"};
  std::string why;
  ASSERT_TRUE(SaveIdentity(kept, {}, &why, folder.File("kept"))) << why;
  for (const std::string& given : {std::string("4711"), folder.File("kept/serial-4711.json")}) {
    run = blankBoard({"--identity", given});
    EXPECT_EQ(run.Code, 4) << given << ": " << run.Err;
    EXPECT_NE(run.Err.find("finished an update on station A at "), std::string::npos) << run.Err;
    EXPECT_FALSE(erased) << given;
  }
  run = blankBoard({"--identity", "4711", "--force-identity"});
  EXPECT_EQ(run.Code, 0) << run.Err;

  const std::vector<Json> records = StoredRecords(folder);
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[0]["outcome"], "failed");
  EXPECT_EQ(records[0]["flashTouched"], true);
  EXPECT_EQ(records[2]["identitySource"], "saved");
  EXPECT_EQ(records[2]["identityWritten"]["serialNumber"], 4711);
  EXPECT_EQ(records[3]["outcome"], "refused");
  EXPECT_EQ(records[3]["exitCode"], 4);
  EXPECT_EQ(records[5]["forcedIdentity"], true);
}

// Ctrl-C in the middle of the verify: the board was programmed, so the job
// ends as cancelled with its record and the report, a line says so, and the
// exit code is 130. SIGTERM and SIGHUP end the same way with 143 and 129.
TEST(Cli, ASignalMidVerifyLeavesTheReportAndACancelledRecord) {
  const std::pair<int, int> signals[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
  for (const auto& [signal, code] : signals) {
    WorkFolder folder;
    DeviceSetup setup;
    setup.LineRate = 115200;  // the verify takes seconds
    SimulatedDevice device(folder, setup);
    ASSERT_TRUE(device.Start(1));
    const std::string report = folder.File("r.json");
    CliProcess process = StartCli(folder, {"update", "--port", "COM1", MakeImage(folder, "fw.bin"),
                                           "--files", folder.Path(), "--report", report});
    const auto deadline = std::chrono::steady_clock::now() + RunLimit;
    while (!device.SawEvent("read sector 3") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ::kill(process.Pid, signal);
    const CliRun run = process.Wait();
    EXPECT_EQ(run.Code, code) << run.Err;
    EXPECT_NE(run.Err.find("job(s) ended as cancelled"), std::string::npos) << run.Err;
    const Json written = Json::parse(TextOf(report));
    EXPECT_EQ(written["exitCode"], code);
    EXPECT_EQ(written["ports"][0]["outcome"], "cancelled");
    const std::vector<Json> records = StoredRecords(folder);
    ASSERT_EQ(records.size(), 1u) << run.Err;
    EXPECT_EQ(records[0]["outcome"], "cancelled");
    EXPECT_EQ(records[0]["flashTouched"], true);
    EXPECT_EQ(records[0]["exitCode"], code);
    EXPECT_TRUE(records[0]["phases"]["verify"]["started"].is_string());
  }
}

struct ExitCodeRow {
  const char* Name;
  int Expected;
  std::vector<const char*> Said;  // words the output must hold
};

class CliExitCodes : public ::testing::TestWithParam<ExitCodeRow> {};

TEST_P(CliExitCodes, EachFailureHasItsCode) {
  const ExitCodeRow& row = GetParam();
  WorkFolder folder;
  DeviceSetup setup;
  const std::string name = row.Name;
  if (name == "silent") setup = SilentInsideTheSectorTable();
  if (name == "programming") setup.Faults.FailingSectors = {4};
  // Sector 3 starts at 0x8000: the flipped bit lies at 0x8064.
  if (name == "verify") setup.Faults.BitFlips = {sim::BitFlip{3, 0x64, 0}};
  // A stray in the verify's first read of sector 3 and another in its second:
  // after the connection (185 bytes), the identity read (2048 words and the
  // "a" after the stop) and the download's 8 replies, the verify's words.
  if (name == "line lost step") {
    constexpr uint64_t verifyStart = 185 + 2048 * 3 + 1 + 8;
    setup.Faults.Strays = {{verifyStart + 300, 'x'}, {verifyStart + 3300, 'x'}};
  }
  SimulatedDevice device(folder, setup);
  ASSERT_TRUE(device.Start(1));
  const std::string report = folder.File("r.json");
  std::vector<std::string> args{"update",    "--port", "COM1",     "--files", folder.Path(),
                                "--timeout", "5",      "--report", report};
  if (name == "usage") args = {"update", MakeImage(folder, "fw.bin")};
  if (name == "not found") args[2] = folder.File("no-such-tty");
  if (name == "refused") {
    args.push_back(MakeImage(folder, "fw.bin", "OTHER165"));
  } else if (name == "file") {
    args = {"read",    "--port",      "COM1",     folder.File("no-such-folder/out.2bf"),
            "--files", folder.Path(), "--report", report};
  } else if (name != "usage") {
    args.push_back(MakeImage(folder, "fw.bin"));
  }

  const CliRun run = RunCli(folder, args);
  EXPECT_EQ(run.Code, row.Expected) << run.Out << run.Err;
  for (const char* word : row.Said) {
    EXPECT_NE((run.Out + run.Err).find(word), std::string::npos)
        << "missing \"" << word << "\" in:\n"
        << run.Out << run.Err;
  }
  if (name == "usage") return;
  // The report tells a script the same as the exit code, also on failure.
  const Json written = Json::parse(TextOf(report));
  EXPECT_EQ(written["exitCode"], row.Expected);
  EXPECT_EQ(written["ports"][0]["exitCode"], row.Expected);
  if (name == "verify") {
    EXPECT_EQ(written["ports"][0]["verify"]["result"], "mismatch");
    EXPECT_EQ(written["ports"][0]["verify"]["address"], 0x8064);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliExitCodes,
    ::testing::Values(ExitCodeRow{"usage", 1, {"--port"}},
                      ExitCodeRow{"not found", 2, {"no-such-tty", "not found"}},
                      ExitCodeRow{"silent", 3, {"COM1"}},
                      ExitCodeRow{"refused", 4, {"DEMO165", "OTHER165", "4711"}},
                      ExitCodeRow{"programming", 5, {"sector 4"}},
                      ExitCodeRow{"verify", 6, {"0x008064"}},
                      ExitCodeRow{"line lost step", 3, {"the line lost step at 0x", "sector 3"}},
                      ExitCodeRow{"file", 7, {"out.2bf"}}),
    [](const ::testing::TestParamInfo<ExitCodeRow>& info) {
      std::string name = info.param.Name;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

// What the operator names as a file and is none is refused before any port
// opens, with its cause.
TEST(Cli, ArgumentsThatAreNoFilesAreRefusedWithTheirCause) {
  WorkFolder folder;
  ASSERT_TRUE(std::filesystem::create_directory(folder.File("images")));
  struct Row {
    const char* Name;
    std::vector<std::string> Args;
    bool InputFromAPipe;
    int Expected;
    const char* Said;
  };
  const Row rows[] = {
      {"image is a folder",
       {"update", "--port", "COM1", folder.File("images")},
       false,
       7,
       "images is a folder, not a regular file"},
      {"image from a pipe",
       {"update", "--port", "COM1", "/dev/stdin"},
       true,
       7,
       "/dev/stdin is a pipe, not a regular file"},
      {"empty report name",
       {"identify", "--port", "COM1", "--report", ""},
       false,
       1,
       "--report needs a file name"},
      {"one identity for two boards",
       {"update", "--port", "COM1", "--port", "COM2", "--identity", "4711", "fw.bin"},
       false,
       1,
       "every board would get the same serial number"},
  };
  for (const Row& row : rows) {
    const CliRun run = RunCli(folder, row.Args, row.InputFromAPipe);
    EXPECT_EQ(run.Code, row.Expected) << row.Name << ": " << run.Err;
    EXPECT_NE(run.Err.find(row.Said), std::string::npos) << row.Name << ": " << run.Err;
  }
}

// --timeout bounds the silence between replies, never an erase below what
// the flash part may take: a 4 s erase outlasts --timeout 1 and the update
// goes through.
TEST(Cli, ATimeoutShorterThanAnEraseDoesNotCutItShort) {
  WorkFolder folder;
  DeviceSetup setup;
  setup.Faults.EraseMs = 4000;
  SimulatedDevice device(folder, setup);
  ASSERT_TRUE(device.Start(1));
  sim::ImageOptions options;
  options.Size = 20000;
  options.Sectors = std::vector<uint8_t>{8};
  std::string error;
  ASSERT_TRUE(sim::WriteImageFile(folder.File("one.bin"), options, &error)) << error;
  const CliRun run = RunCli(folder, {"update", "--port", "COM1", folder.File("one.bin"), "--files",
                                     folder.Path(), "--timeout", "1"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_TRUE(device.SawEvent("erase sector 8"));
}

TEST(Cli, ThreeDevicesAtOnceOneFailing) {
  WorkFolder folder;
  std::vector<std::unique_ptr<SimulatedDevice>> devices;
  for (uint32_t unit = 1; unit <= 3; ++unit) {
    DeviceSetup setup;
    setup.Identity.SerialNumber = 1000 + unit;
    if (unit == 2) setup.Faults.FailingSectors = {4};
    devices.push_back(std::make_unique<SimulatedDevice>(folder, setup));
    ASSERT_TRUE(devices.back()->Start(static_cast<int>(unit)));
  }
  std::vector<sim::Flash> before;
  for (const auto& device : devices) before.push_back(device->ReadFlash());
  const std::string image = MakeImage(folder, "fw.bin");

  const CliRun run = RunCli(folder, {"update", "--port", "COM1", "--port", "COM2", "--port", "COM3",
                                     image, "--files", folder.Path()});
  EXPECT_EQ(run.Code, 5) << run.Out << run.Err;
  // The summary: one row per port with its serial number and its exit code.
  const std::vector<std::vector<std::string>> expectedRows = {
      {"COM1", "1001", "0"}, {"COM2", "1002", "5"}, {"COM3", "1003", "0"}};
  for (const std::vector<std::string>& expected : expectedRows) {
    bool found = false;
    std::istringstream lines(run.Out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::vector<std::string> row(3);
      words >> row[0] >> row[1] >> row[2];
      found = found || row == expected;
    }
    EXPECT_TRUE(found) << "no row " << expected[0] << " " << expected[1] << " " << expected[2]
                       << " in\n"
                       << run.Out;
  }
  for (const int unit : {0, 2}) {
    sim::DeviceIdentity identity = DemoIdentity();
    identity.SerialNumber = 1001 + unit;
    const std::optional<Bytes> patched = PatchedImage(folder, image, identity);
    ASSERT_TRUE(patched);
    const auto index = static_cast<size_t>(unit);
    EXPECT_EQ(FirstDifference(devices[index]->ReadFlash(),
                              FlashAfterProgramming(before[index], *patched, ImageSectorsInt)),
              std::nullopt)
        << "unit " << unit + 1;
  }
}

TEST(Cli, JsonLinesForMachinesAndAFailureShownWhenItHappens) {
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start(1));
  const std::string missing = folder.File("no-such-tty");
  const CliRun run = RunCli(folder, {"update", "--json-lines", "--port", "COM1", "--port", missing,
                                     MakeImage(folder, "fw.bin"), "--files", folder.Path()});
  EXPECT_EQ(run.Code, 2) << run.Out << run.Err;
  // Standard output: JSON events only; the missing port's end comes before
  // the other port's, and each finished event carries the job's record.
  std::vector<std::string> order;
  std::istringstream lines(run.Out);
  for (std::string line; std::getline(lines, line);) {
    const Json event = Json::parse(line, nullptr, false);
    ASSERT_TRUE(event.is_object()) << line;
    const std::string name = event.value("event", "");
    if (name == "started" || name == "finished") {
      EXPECT_EQ(event["job"], "update") << line;
      order.push_back(name + " " + (event["port"] == "COM1" ? "COM1" : "missing"));
    }
    if (name == "finished" && event["port"] == "COM1") {
      EXPECT_EQ(event["outcome"], "ok");
      EXPECT_EQ(event["exitCode"], 0);
      EXPECT_EQ(event["record"]["identityBefore"]["serialNumber"], 4711) << line;
    }
    if (name == "finished" && event["port"] == missing) {
      EXPECT_EQ(event["exitCode"], 2);
    }
  }
  ASSERT_EQ(order.size(), 4u) << run.Out;
  // The two ports' threads start in any order; the missing port's end is
  // told as it happens, while COM1 still works.
  const auto at = [&order](const std::string& event) {
    return std::find(order.begin(), order.end(), event) - order.begin();
  };
  EXPECT_LT(at("finished missing"), at("finished COM1")) << run.Out;
  // Standard error: the failure, before the summary of the run's end.
  const size_t failure = run.Err.find(missing + ": port not opened");
  EXPECT_NE(failure, std::string::npos) << run.Err;
  EXPECT_LT(failure, run.Err.find("PORT")) << run.Err;
}

}  // namespace
}  // namespace integration
