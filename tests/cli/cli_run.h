// Runs updater-cli as a process for the end-to-end tests: its exit code, what
// it wrote on its two outputs, and the records it left in the store of the
// test's folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "rig.h"
#include "sim/image_builder.h"
#include "store/record_store.h"

namespace integration {

constexpr auto RunLimit = 120s;
const std::vector<uint8_t> ImageSectors{3, 4};
const std::vector<int> ImageSectorsInt{3, 4};
constexpr uint32_t ImageBytes = 70000;  // ends inside sector 4

struct CliRun {
  int Code = -1;
  std::string Out;
  std::string Err;
};

inline std::string TextOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A started updater-cli; Wait() ends it (killed after RunLimit).
struct CliProcess {
  pid_t Pid = -1;
  int InputPipe = -1;  // the open end of a silent standard input, or -1
  std::string OutPath;
  std::string ErrPath;

  CliRun Wait() {
    CliRun run;
    const auto deadline = std::chrono::steady_clock::now() + RunLimit;
    int status = 0;
    while (::waitpid(Pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(Pid, SIGKILL);
        ::waitpid(Pid, &status, 0);
        ADD_FAILURE() << "updater-cli did not end within " << RunLimit.count() << " s";
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    if (InputPipe >= 0) ::close(InputPipe);
    if (WIFEXITED(status)) run.Code = WEXITSTATUS(status);
    run.Out = TextOf(OutPath);
    run.Err = TextOf(ErrPath);
    return run;
  }
};

// Starts updater-cli with `args` (the program name added) and its standard
// input closed, or a pipe that stays open and silent; its state (the record
// store) goes to `state`, by default the folder's own state folder.
inline CliProcess StartCli(const WorkFolder& folder, const std::vector<std::string>& args,
                           bool inputFromAPipe = false, const std::string& state = {}) {
  CliProcess process;
  process.OutPath = folder.File("cli.out");
  process.ErrPath = folder.File("cli.err");
  ::setenv("XDG_STATE_HOME", (state.empty() ? folder.File("state") : state).c_str(), 1);
  std::vector<std::string> all{UPDATER_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int pipeEnds[2] = {-1, -1};
  if (inputFromAPipe) {
    EXPECT_EQ(::pipe(pipeEnds), 0);
  }
  process.Pid = ::fork();
  if (process.Pid == 0) {
    const int in = inputFromAPipe ? pipeEnds[0] : ::open("/dev/null", O_RDONLY);
    const int o = ::open(process.OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(process.ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (inputFromAPipe) {
    ::close(pipeEnds[0]);
    process.InputPipe = pipeEnds[1];
  }
  return process;
}

inline CliRun RunCli(const WorkFolder& folder, const std::vector<std::string>& args,
                     bool inputFromAPipe = false, const std::string& state = {}) {
  return StartCli(folder, args, inputFromAPipe, state).Wait();
}

inline std::string MakeImage(const WorkFolder& folder, const std::string& name,
                             const std::string& product = "DEMO165") {
  sim::ImageOptions options;
  options.Size = ImageBytes;
  options.ProductName = product;
  options.HardwareVersion = "1.0b";
  options.Sectors = ImageSectors;
  std::string error;
  EXPECT_TRUE(sim::WriteImageFile(folder.File(name), options, &error)) << error;
  return folder.File(name);
}

// The records in the store updater-cli keeps under `state` (by default the
// folder's own), oldest first, as their JSON; from the line database `line`
// instead when one is given.
inline std::vector<nlohmann::json> StoredRecords(const WorkFolder& folder,
                                                 const std::string& state = {},
                                                 const std::string& line = {}) {
  StoreConfig config;
  config.LocalPath = (state.empty() ? folder.File("state") : state) + "/updater/updater.db";
  config.LineUrl = line;
  std::string why;
  const std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  EXPECT_TRUE(store) << why;
  std::vector<nlohmann::json> records;
  if (!store) return records;
  const StoreAnswer<JobRecord> answer = store->Query({});
  EXPECT_TRUE(answer.Ok) << answer.Error;
  EXPECT_EQ(answer.FromLine, !line.empty()) << answer.Note;
  for (const JobRecord& record : answer.Items) {
    records.push_back(nlohmann::json::parse(RecordJsonText(record)));
  }
  return records;
}

}  // namespace integration
