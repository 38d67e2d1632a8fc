// The command line's benchmark: updater-cli, started as a process, updates
// simulated units on pseudo-terminals (answering at once), one alone and four
// at once with one command. The four should take little longer than the one:
// each port has its own thread and nothing is shared between them.
//
//   cli_bench [--runs N] [--size BYTES] [--units 2-4] [--no-verify] [--paced BITRATE]
//   cli_bench --station [--boards N] [--size BYTES] [--paced BITRATE]
//
// --station runs "updater-cli station" over 1, 4, 8 and 16 units paced at
// the line's rate (38400 bit/s unless --paced says otherwise) in both
// directions, each handing over --boards boards by power cycles: the wall
// time per board against one unit alone, and the station's CPU per board
// and per unit.
//
// Prints the median wall time of each and their ratio. --paced makes the units
// send at a serial line's rate, as real devices do; without it they answer at
// once and the run measures the program's own work.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_command_line.h"
#include "sim/device_rig.h"
#include "sim/image_builder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  int Runs = 3;
  // 256 KiB (sectors 0 to 6): the verify reads every word back with a round
  // trip of its own, so larger images make long runs.
  uint32_t Size = 0x40000;
  bool Verify = true;
  uint32_t PacedRate = 0;      // 0: the units answer at once
  int Units = 4;               // updated at once, against one alone
  bool Station = false;        // the station rows instead
  int Boards = 2;              // boards per unit in a station row
  uint32_t AdapterPieces = 0;  // the units' replies in pieces of up to this many bytes
};

// User and system seconds used so far by this process (the simulated units)
// or by its ended children (updater-cli).
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Seconds that all cores of the machine have spent busy so far (idle and
// waiting for the disk left out), kernel workers included: the pseudo-terminals
// move every byte through one. Negative where the kernel does not tell.
double MachineBusySeconds() {
  std::FILE* stat = std::fopen("/proc/stat", "r");
  if (stat == nullptr) return -1;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                     steal = 0;
  const int fields = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice,
                                 &system, &idle, &iowait, &irq, &softirq, &steal);
  std::fclose(stat);
  if (fields < 4) return -1;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return static_cast<double>(user + nice + system + irq + softirq + steal) / ticks;
}

struct Timing {
  double Wall = -1;
  double CliCpu = 0;
  double UnitsCpu = 0;
  double MachineBusy = 0;
  double CliWaited = 0;    // updater-cli's threads ready to run, waiting for a core
  double UnitsWaited = 0;  // the same for the simulated units' threads
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Seconds the threads of process `pid` ("self" for this one) have spent
// ready to run but waiting for a core, by thread id; empty where the kernel
// keeps no scheduler statistics.
std::map<std::string, double> RunQueueWaits(const std::string& pid) {
  std::map<std::string, double> waits;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + pid + "/task", error)) {
    std::FILE* stat = std::fopen((task.path() / "schedstat").c_str(), "r");
    if (stat == nullptr) continue;
    unsigned long long running = 0, waiting = 0;
    if (std::fscanf(stat, "%llu %llu", &running, &waiting) == 2) {
      waits[task.path().filename().string()] = static_cast<double>(waiting) * 1e-9;
    }
    std::fclose(stat);
  }
  return waits;
}

double Sum(const std::map<std::string, double>& waits) {
  double total = 0;
  for (const auto& [thread, seconds] : waits) total += seconds;
  return total;
}

// Runs updater-cli quietly; its exit code, or -1 when it could not run.
// With `waited`, the seconds its threads spent waiting for a core, looked
// at every 20 ms while it runs.
int RunCli(const std::vector<std::string>& args, double* waited = nullptr) {
  std::vector<std::string> all{UPDATER_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  std::map<std::string, double> waits;
  for (;;) {
    const pid_t ended = ::waitpid(child, &status, waited ? WNOHANG : 0);
    if (ended == child) break;
    if (ended < 0) return -1;
    for (const auto& [thread, seconds] : RunQueueWaits(std::to_string(child)))
      waits[thread] = std::max(waits[thread], seconds);
    ::usleep(20'000);
  }
  if (waited) *waited = Sum(waits);
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class Bench {
 public:
  explicit Bench(const Options& options) : options_(options), folder_("updater-cli-bench") {
    std::string error = folder_.Problem();
    sim::ImageOptions image;
    image.Size = options.Size;
    image.ProductName = "DEMO165";
    image.HardwareVersion = "1.0b";
    if (!error.empty() || !sim::WriteImageFile(folder_.File("fw.bin"), image, &error)) {
      throw std::runtime_error(error);
    }
    ::setenv("XDG_STATE_HOME", folder_.File("state").c_str(), 1);
  }

  // Wall and CPU seconds of one update of `units` units at once; a negative
  // wall time on failure.
  Timing UpdateAtOnce(int units) {
    Devices devices;
    std::vector<std::string> args{"update", "--quiet", "--files", folder_.Path()};
    if (!options_.Verify) args.push_back("--no-verify");
    for (int unit = 1; unit <= units; ++unit) {
      rig::DeviceSetup setup = UnitSetup(unit);
      // The replies at the line's rate, the program's bytes at once, as the
      // rows have always been measured.
      setup.Faults.BitRate = options_.PacedRate;
      if (!StartUnit(devices, std::move(setup), unit)) return {};
      args.push_back("--port");
      args.push_back("COM" + std::to_string(unit));
    }
    args.push_back(folder_.File("fw.bin"));
    return Measure(args);
  }

  // One station process over `units` paced units with `boards` boards each.
  Timing StationOver(int units) {
    Devices devices;
    std::vector<std::string> args{"station",      "--quiet", "--files",
                                  folder_.Path(), "--count", std::to_string(options_.Boards)};
    for (int unit = 1; unit <= units; ++unit) {
      rig::DeviceSetup setup = UnitSetup(unit);
      setup.LineRate = options_.PacedRate;
      setup.AdapterPieces = options_.AdapterPieces;
      setup.PowerCycleOnClose = true;
      for (int board = 1; board < options_.Boards; ++board) {
        sim::BoardSettings next = rig::DemoBoard();
        next.Identity.SerialNumber = 4000u + static_cast<uint32_t>(unit * 100 + board);
        setup.NextBoards.push_back(next);
      }
      if (!StartUnit(devices, std::move(setup), unit)) return {};
      args.push_back("--port");
      args.push_back(devices.back()->Port());
    }
    args.push_back(folder_.File("fw.bin"));
    return Measure(args);
  }

 private:
  using Devices = std::vector<std::unique_ptr<rig::SimulatedDevice>>;

  static rig::DeviceSetup UnitSetup(int unit) {
    rig::DeviceSetup setup;
    setup.Identity =
        sim::DeviceIdentity{"DEMO165", "1.0a", 4000u + static_cast<uint32_t>(unit), "LABEL"};
    return setup;
  }

  // Starts one more unit as COM<unit>; false (said on stderr) when it cannot.
  bool StartUnit(Devices& devices, rig::DeviceSetup setup, int unit) {
    devices.push_back(std::make_unique<rig::SimulatedDevice>(folder_, std::move(setup)));
    std::string error;
    if (devices.back()->Start(unit, &error)) return true;
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return false;
  }

  // Runs updater-cli with `args` against the units that are running; a
  // negative wall time when it failed.
  static Timing Measure(const std::vector<std::string>& args) {
    Timing timing;
    const double cliCpu = CpuSeconds(RUSAGE_CHILDREN);
    const double unitsCpu = CpuSeconds(RUSAGE_SELF);
    const double busy = MachineBusySeconds();
    const double unitsWaited = Sum(RunQueueWaits("self"));
    const Clock::time_point start = Clock::now();
    const int code = RunCli(args, &timing.CliWaited);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    timing.CliCpu = CpuSeconds(RUSAGE_CHILDREN) - cliCpu;
    timing.UnitsCpu = CpuSeconds(RUSAGE_SELF) - unitsCpu;
    timing.MachineBusy = MachineBusySeconds() - busy;
    timing.UnitsWaited = Sum(RunQueueWaits("self")) - unitsWaited;
    if (code != 0) {
      std::fprintf(stderr, "updater-cli %s ended with %d\n", args.front().c_str(), code);
      return timing;
    }
    timing.Wall = seconds;
    return timing;
  }

  Options options_;
  rig::WorkFolder folder_;
};

// -1 to go on; otherwise the exit code, after the help or the error.
int ParseOptions(int argc, char** argv, Options& options) {
  CLI::App app("updater-cli updating one simulated unit alone and several at once.", "cli_bench");
  app.add_option("--runs", options.Runs, "runs of each; the medians are reported (3)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--size", options.Size,
                 "image size in bytes (262144: sectors 0 to 6; the verify reads every word back)")
      ->check(CLI::Range(1u, 0x200000u));
  app.add_option("--units", options.Units, "units updated at once against one alone (4)")
      ->check(CLI::Range(2, 4));
  app.add_flag_callback(
      "--no-verify", [&options] { options.Verify = false; }, "updates without the read-back");
  app.add_option("--paced", options.PacedRate,
                 "the units send at BITRATE, as real devices do (default: they answer at once)")
      ->type_name("BITRATE");
  app.add_flag("--station", options.Station,
               "the station rows: 1, 4, 8 and 16 paced units in one station process");
  app.add_option("--adapter-pieces", options.AdapterPieces,
                 "station rows: the units' replies reach updater-cli in pieces of up to N bytes, "
                 "each once its last byte is through, as a USB adapter hands them over (default: "
                 "byte by byte)");
  app.add_option("--boards", options.Boards, "boards per unit in a station row (2)")
      ->check(CLI::Range(1, 1000));
  return bench::ParseCommandLine(app, argc, argv, 1);
}

double LoadAverage() {
  std::FILE* load = std::fopen("/proc/loadavg", "r");
  if (load == nullptr) return -1;
  double value = -1;
  if (std::fscanf(load, "%lf", &value) != 1) value = -1;
  std::fclose(load);
  return value;
}

int StationRows(Options options) {
  if (options.PacedRate == 0) options.PacedRate = 38400;
  Bench bench(options);
  std::printf(
      "updater-cli station, %u-byte image with verify, units paced at %u bit/s both ways, %d "
      "boards per unit, median of %d runs, replies %s; load average before: %.2f\n",
      options.Size, options.PacedRate, options.Boards, options.Runs,
      options.AdapterPieces == 0
          ? "byte by byte"
          : ("in pieces of up to " + std::to_string(options.AdapterPieces) + " bytes").c_str(),
      LoadAverage());
  std::printf(
      "  units  wall/board  vs one  station CPU/board  station CPU %% of a core per unit  units "
      "CPU  machine busy  waiting for a core per board: station  units\n");
  double alone = 0;
  for (const int units : {1, 4, 8, 16}) {
    std::vector<double> wall, cli, sims, busy, cliWaited, unitsWaited;
    for (int run = 0; run < options.Runs; ++run) {
      const Timing t = bench.StationOver(units);
      if (t.Wall < 0) return 1;
      wall.push_back(t.Wall);
      cli.push_back(t.CliCpu);
      sims.push_back(t.UnitsCpu);
      busy.push_back(t.MachineBusy);
      cliWaited.push_back(t.CliWaited);
      unitsWaited.push_back(t.UnitsWaited);
    }
    const double perBoard = Median(wall) / options.Boards;
    if (units == 1) alone = perBoard;
    const double boards = static_cast<double>(units * options.Boards);
    std::printf("  %5d  %8.2f s  %6.3f  %14.3f s  %29.2f %%  %7.2f s  %9.2f s  %30.3f s  %5.3f s\n",
                units, perBoard, perBoard / alone, Median(cli) / boards,
                100.0 * Median(cli) / Median(wall) / units, Median(sims), Median(busy),
                Median(cliWaited) / boards, Median(unitsWaited) / boards);
  }
  std::printf(
      "  targets: 16 units within 1.05 times one; at most 2 %% of a core per unit; "
      "load average after: %.2f\n",
      LoadAverage());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int code = ParseOptions(argc, argv, options); code >= 0) return code;
  if (options.Station) return StationRows(options);
  Bench bench(options);
  std::vector<double> one, four, oneCli, fourCli, oneUnits, fourUnits, oneBusy, fourBusy;
  for (int run = 0; run < options.Runs; ++run) {
    const Timing single = bench.UpdateAtOnce(1);
    const Timing together = bench.UpdateAtOnce(options.Units);
    if (single.Wall < 0 || together.Wall < 0) return 1;
    one.push_back(single.Wall);
    four.push_back(together.Wall);
    oneCli.push_back(single.CliCpu);
    fourCli.push_back(together.CliCpu);
    oneUnits.push_back(single.UnitsCpu);
    fourUnits.push_back(together.UnitsCpu);
    oneBusy.push_back(single.MachineBusy);
    fourBusy.push_back(together.MachineBusy);
  }
  const double oneMedian = Median(one);
  const double fourMedian = Median(four);
  std::printf("updater-cli update, %u-byte image, verify %s, units %s, median of %d runs\n",
              options.Size, options.Verify ? "on" : "off",
              options.PacedRate
                  ? ("paced at " + std::to_string(options.PacedRate) + " bit/s").c_str()
                  : "answering at once",
              options.Runs);
  std::printf(
      "                          wall      CPU of updater-cli  CPU of the units  machine busy\n");
  std::printf("  one unit alone          %6.2f s  %6.2f s             %6.2f s          %6.2f s\n",
              oneMedian, Median(oneCli), Median(oneUnits), Median(oneBusy));
  std::printf("  %d units, one command    %6.2f s  %6.2f s             %6.2f s          %6.2f s\n",
              options.Units, fourMedian, Median(fourCli), Median(fourUnits), Median(fourBusy));
  std::printf("  ratio %d / one           %8.2f   (target for four at most 1.30)\n", options.Units,
              fourMedian / oneMedian);
  // The four updates cannot end before the machine has done their work on
  // the cores it has; the same holds for the one.
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (cores > 0 && Median(oneBusy) > 0) {
    const double floor = std::max(Median(fourBusy) / static_cast<double>(cores), 0.0);
    std::printf(
        "  %d need %.2f busy core-seconds: on %ld cores no less than %.2f s wall,"
        " %.2f times the one\n",
        options.Units, Median(fourBusy), cores, floor, floor / oneMedian);
    // Idle cores while units still wait mean the time went on waking threads
    // (the other core halted, the terminal's flush worker), not on work.
    std::printf("  the cores were busy %.0f %% of that wall time\n", 100.0 * floor / fourMedian);
  }
  return 0;
}
