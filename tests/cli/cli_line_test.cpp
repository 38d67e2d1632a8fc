// updater-cli with a line database: the real program against simulated units
// and a real PostgreSQL server (scripts/pg-test-cluster.sh). Stations are
// processes with state folders of their own and their own --station.
#include <filesystem>

#include "../store/line_cluster.h"
#include "cli_run.h"
#include "updater_version.h"

namespace integration {
namespace {

using Json = nlohmann::json;

std::string NewLineDatabase() {
  LineCluster& cluster = LineCluster::Get();
  EXPECT_TRUE(cluster.Up()) << cluster.Error();
  return cluster.Up() ? cluster.NewDatabase() : std::string();
}

TEST(CliLine, AnUpdateLeavesOneRecordHereAndInTheLineDatabase) {
  const std::string line = NewLineDatabase();
  ASSERT_FALSE(line.empty());
  WorkFolder folder;
  SimulatedDevice device(folder);
  ASSERT_TRUE(device.Start(1));
  const std::string image = MakeImage(folder, "fw.bin");
  const CliRun run = RunCli(folder, {"update", "--port", "COM1", image, "--files", folder.Path(),
                                     "--db", line, "--station", "S1", "--operator", "ana"});
  ASSERT_EQ(run.Code, 0) << run.Err;

  const std::vector<Json> local = StoredRecords(folder);
  const std::vector<Json> central = StoredRecords(folder, {}, line);
  ASSERT_EQ(local.size(), 1u);
  ASSERT_EQ(central.size(), 1u);
  EXPECT_EQ(local[0], central[0]);
  const Json& record = central[0];
  EXPECT_EQ(record["station"], "S1");
  EXPECT_EQ(record["operator"], "ana");
  EXPECT_FALSE(record["host"].get<std::string>().empty());
  EXPECT_EQ(record["programVersion"], UPDATER_VERSION);
  EXPECT_EQ(record["frontEnd"], "cli");
  EXPECT_EQ(record["port"], "COM1");
  EXPECT_EQ(record["deviceFile"], device.Port());
  EXPECT_EQ(record["job"], "update");
  for (const char* phase : {"connect", "identify", "erase", "program", "verify"}) {
    EXPECT_TRUE(record["phases"][phase]["ended"].is_string()) << phase;
  }
  EXPECT_EQ(record["identityBefore"]["serialNumber"], 4711);
  EXPECT_EQ(record["identitySource"], "device");
  EXPECT_EQ(record["identityWritten"]["serialNumber"], 4711);
  EXPECT_EQ(record["image"]["path"], std::filesystem::absolute(image).string());
  EXPECT_EQ(record["image"]["size"], ImageBytes);
  EXPECT_EQ(record["image"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(record["image"]["productName"], "DEMO165");
  EXPECT_EQ(record["image"]["hardwareVersion"], "1.0b");
  EXPECT_EQ(record["image"]["firmwareVersion"], "2.00");
  EXPECT_EQ(record["image"]["sectors"], Json(ImageSectorsInt));
  EXPECT_EQ(record["verify"]["result"], "passed");
  EXPECT_EQ(record["outcome"], "ok");
  EXPECT_EQ(record["exitCode"], 0);
}

// Serial 4711 fails on station A after its first erase; station B, another
// computer sharing only the line database, finishes the blank board with the
// identity A read. From then on A is refused that identity, naming B.
TEST(CliLine, ABoardInterruptedOnOneStationIsFinishedOnAnother) {
  const std::string line = NewLineDatabase();
  ASSERT_FALSE(line.empty());
  WorkFolder folder;
  const std::string image = MakeImage(folder, "fw.bin");
  auto station = [&](const std::string& name, DeviceSetup setup,
                     const std::vector<std::string>& extra) {
    SimulatedDevice device(folder, setup);
    EXPECT_TRUE(device.Start(1));
    std::vector<std::string> args{"update",      "--port",    "COM1", image,  "--files",
                                  folder.Path(), "--station", name,   "--db", line};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunCli(folder, args, false, folder.File("state-" + name));
  };
  DeviceSetup failing;
  failing.Faults.FailingSectors = {4};
  DeviceSetup blank;
  blank.NoIdentity = true;

  CliRun run = station("A", failing, {});
  ASSERT_EQ(run.Code, 5) << run.Err;
  run = station("B", blank, {"--identity", "4711"});
  ASSERT_EQ(run.Code, 0) << run.Err;
  run = station("A", blank, {"--identity", "4711"});
  EXPECT_EQ(run.Code, 4) << run.Err;
  EXPECT_NE(run.Err.find("finished an update on station B at "), std::string::npos) << run.Err;

  const std::vector<Json> records = StoredRecords(folder, folder.File("state-A"), line);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["station"], "A");
  EXPECT_EQ(records[0]["outcome"], "failed");
  EXPECT_EQ(records[1]["station"], "B");
  EXPECT_EQ(records[1]["identitySource"], "saved");
  EXPECT_EQ(records[1]["outcome"], "ok");
  EXPECT_EQ(records[2]["station"], "A");
  EXPECT_EQ(records[2]["outcome"], "refused");
}

}  // namespace
}  // namespace integration
