// updater-cli: the firmware update of the C165 + 29F160D device from scripts,
// on one port or several at once, with a result a script can branch on (the
// exit code), a JSON report, and a line per job in the update history.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "cli_os.h"
#include "console.h"
#include "core/history.h"
#include "core/image_file.h"
#include "exit_code.h"
#include "history_command.h"
#include "platform/own_files.h"
#include "platform/seq_file.h"
#include "port_job.h"
#include "port_list.h"
#include "report.h"
#include "station.h"
#include "store/record_store.h"
#include "updater_version.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<std::string> Ports;
  std::string Image;
  std::string Destination;
  std::string Files;
  std::string Report;
  std::string Identity;
  uint32_t Baud = 38400;
  int TimeoutSeconds = 5;
  bool NoVerify = false;
  bool Yes = false;
  bool Quiet = false;
  bool Verbose = false;
  bool JsonLines = false;
  bool ForceIdentity = false;
  std::string Station;
  std::string Operator;
  std::string Db;
};

// What the station subcommand takes beyond the options every command has.
struct StationOptions {
  int Count = 0;
  bool NewIdentity = false;
  std::string Product;
  std::string HardwareVersion;
  std::string BrandLabel;
  std::optional<uint32_t> SerialFrom;
  std::optional<uint32_t> SerialTo;
  std::vector<std::string> ExpectSerials;
};
// The number of the signal that stopped the run (SIGINT, SIGTERM, SIGHUP);
// 0 while none came. The port threads look at it at every round.
std::atomic<int> StopSignal{0};

// The record store of this run, opened once for every port. A store that
// cannot be opened never stops an update; a warning says no record is kept.
std::unique_ptr<RecordStore> OpenStore(const Options& options) {
  StoreConfig config;
  config.LineUrl = LineUrlFrom(options.Db);
  config.Station = options.Station.empty() ? DefaultStation() : options.Station;
  std::string why;
  std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  if (!store) {
    std::fprintf(stderr, "updater-cli: warning: no record of this run is kept: %s\n", why.c_str());
    return nullptr;
  }
  if (!store->ImportNote().empty() && !options.Quiet) {
    std::fprintf(stderr, "updater-cli: note: %s\n", store->ImportNote().c_str());
  }
  return store;
}

// Reads what the update needs to know of its image before any port opens:
// a file that cannot be read, or that is no firmware image at all, is
// refused without touching a device.
ExitCode CheckImage(const ImagePlan& plan, std::string& why) {
  if (!plan.Opened) {
    why = "cannot read the image " + plan.Path + ": " + plan.Cause.Text;
    return ExitCode::FileError;
  }
  if (plan.Size < IdentityWindowOffset + static_cast<int64_t>(RecordHeaderLength)) {
    why = "image refused: " + plan.Path + " is too small to be a firmware image (" +
          std::to_string(plan.Size) + " bytes)";
    return ExitCode::ImageRefused;
  }
  if (plan.Identity.ProductName.empty()) {
    why = "image refused: " + plan.Path + " names no product; it is no firmware image";
    return ExitCode::ImageRefused;
  }
  if (plan.Sha256.empty()) {
    why = "cannot take the SHA-256 of " + plan.Path + ": the system offers none";
    return ExitCode::FileError;
  }
  return ExitCode::Success;
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string SerialOf(const PortOutcome& outcome) {
  if (!outcome.IdentityBefore || !outcome.IdentityBefore->SerialNumberFound) return "-";
  return std::to_string(outcome.IdentityBefore->SerialNumber);
}

std::string OutcomeText(const PortOutcome& outcome, Command command) {
  if (outcome.Code != ExitCode::Success) return outcome.Message;
  if (command == Command::Update) {
    return outcome.Verify == VerifyResult::Passed ? "updated, verify passed"
                                                  : "updated, not verified";
  }
  switch (command) {
    case Command::Identify:
      return "identified";
    case Command::Read:
      return "read back";
    case Command::Erase:
      return "erased";
    case Command::Update:
      break;
  }
  return "ok";
}

void PrintSummary(Console& console, const std::vector<PortOutcome>& outcomes, Command command) {
  size_t width = 4;
  for (const PortOutcome& o : outcomes) width = std::max(width, o.Port.Given.size());
  auto row = [&](const std::string& port, const std::string& serial, const std::string& code,
                 const std::string& seconds, const std::string& text) {
    char line[512];
    std::snprintf(line, sizeof line, "%-*s  %-10s  %4s  %7s  %s", static_cast<int>(width),
                  port.c_str(), serial.c_str(), code.c_str(), seconds.c_str(), text.c_str());
    console.Result(line);
  };
  row("PORT", "SERIAL", "EXIT", "SECONDS", "OUTCOME");
  for (const PortOutcome& o : outcomes) {
    row(o.Port.Given, SerialOf(o), std::to_string(ToInt(o.Code)), Seconds(o.Seconds),
        OutcomeText(o, command));
  }
}

bool AskToErase(const std::string& port, const std::string& folder) {
  if (!StandardInputIsTerminal()) return false;
  std::fprintf(stderr, "Erase sectors 8 and 9 of the device on %s and program them from %s? [y/N] ",
               port.c_str(), (folder.empty() ? std::string("empty") : folder + "/empty").c_str());
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

// The ports of --port, each once; nothing (the cause said) for an empty or
// repeated one.
std::optional<std::vector<PortName>> ParsePorts(const Options& options) {
  std::vector<PortName> ports;
  std::set<std::string> seen;
  for (const std::string& text : options.Ports) {
    const std::optional<PortName> port = ParsePortName(text);
    if (!port) {
      std::fprintf(stderr, "updater-cli: --port needs a value (COM1 to COM4 or a device path)\n");
      return std::nullopt;
    }
    if (!seen.insert(text).second) {
      std::fprintf(stderr, "updater-cli: port %s given twice\n", text.c_str());
      return std::nullopt;
    }
    ports.push_back(*port);
  }
  return ports;
}

int RunPorts(Command command, const Options& options, const ImagePlan* image,
             const SavedIdentity* keptIdentity, RecordStore* openStore) {
  const std::optional<std::vector<PortName>> parsed = ParsePorts(options);
  if (!parsed) return ToInt(ExitCode::Usage);
  const std::vector<PortName>& ports = *parsed;
  if (command != Command::Update && ports.size() > 1) {
    std::fprintf(stderr, "updater-cli: only update takes several ports\n");
    return ToInt(ExitCode::Usage);
  }

  LinkSettings settings;
  settings.FilesFolder = options.Files;
  settings.BaudRate = options.Baud;
  settings.VerifyAfterDownload = !options.NoVerify;
  settings.SilenceLimit = std::chrono::seconds(options.TimeoutSeconds);
  settings.Station = options.Station;
  settings.Operator = options.Operator;
  settings.Stop = &StopSignal;
  PortRequest request;
  request.ForceIdentity = options.ForceIdentity;
  request.What = command;
  request.Image = image;
  request.Destination = options.Destination;
  request.KeptIdentity = keptIdentity;

  Console console(StyleForStandardError(options.Quiet, options.JsonLines), options.Verbose);
  settings.Store = openStore;
  RunSummary run;
  run.Command = command == Command::Update     ? "update"
                : command == Command::Identify ? "identify"
                : command == Command::Read     ? "read"
                                               : "erase";
  run.Image = image;
  run.Started = UtcNow();
  const Clock::time_point begin = Clock::now();

  // One thread per port; each writes only its own outcome. The slots are
  // taken first, so that the live lines stand in the order of --port; a
  // port's failure is shown when it happens, not only in the summary.
  run.Ports.resize(ports.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ports.size(); ++i) {
    const int slot = console.AddPort(ports[i].Given);
    threads.emplace_back([&, i, slot] {
      console.JobStarted(slot, run.Command);
      PortOutcome outcome = RunOnPort(ports[i], settings, request, console);
      if (outcome.Code != ExitCode::Success) console.PortFailed(slot, outcome.Message);
      RunSummary one;
      one.Command = run.Command;
      one.Image = image;
      one.Ports = {outcome};
      const nlohmann::ordered_json record =
          nlohmann::ordered_json::parse(ReportJson(one))["ports"][0];
      console.JobFinished(slot, run.Command, record.value("outcome", ""), ToInt(outcome.Code),
                          record.dump());
      run.Ports[i] = std::move(outcome);
    });
  }
  for (std::thread& thread : threads) thread.join();
  run.Seconds = std::chrono::duration<double>(Clock::now() - begin).count();

  ExitCode worst = ExitCode::Success;
  for (const PortOutcome& o : run.Ports) {
    if (ToInt(o.Code) < StopExitCode(0)) worst = MoreSevere(worst, o.Code);
  }
  run.Code = ToInt(worst);
  if (const int signal = StopSignal.load(); signal != 0) {
    size_t cancelled = 0;
    for (const PortOutcome& o : run.Ports) {
      if (o.Record.Outcome == RecordOutcome::Cancelled) ++cancelled;
    }
    run.StopSignal = signal;
    run.StopSignalName = SignalName(signal);
    run.Code = StopExitCode(signal);
    console.Error("updater-cli: stopped by " + run.StopSignalName + ": " +
                  std::to_string(cancelled) + " job(s) ended as cancelled; their records" +
                  (options.Report.empty() ? std::string() : " and the report") + " are written");
  }

  if (command == Command::Identify) {
    for (const PortOutcome& o : run.Ports) {
      if (o.IdentityBefore)
        console.Result(o.Port.Given + ": " + DescribeIdentity(*o.IdentityBefore));
    }
  }
  if (ports.size() > 1) {
    PrintSummary(console, run.Ports, command);
  } else {
    const PortOutcome& o = run.Ports.front();
    if (o.Code == ExitCode::Success && command != Command::Identify) {
      console.Result(o.Port.Given + ": " + OutcomeText(o, command) + " in " + Seconds(o.Seconds) +
                     " s");
    } else if (ToInt(o.Code) >= StopExitCode(0)) {
      console.Result(o.Port.Given + ": " + o.Message);
    }
  }

  if (!options.Report.empty()) {
    std::string why;
    if (!WriteReport(options.Report, run, &why)) {
      console.Error("updater-cli: " + why);
      if (run.StopSignal == 0) run.Code = ToInt(MoreSevere(worst, ExitCode::FileError));
    }
  }
  return run.Code;
}

// --identity: a saved identity file, or a serial number whose identity the
// record store keeps (the newest read of it).
std::optional<SavedIdentity> FindIdentity(const std::string& given, RecordStore* store,
                                          const std::string& product, std::string& why) {
  const bool number =
      !given.empty() && given.size() <= 10 &&
      std::all_of(given.begin(), given.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!number || std::filesystem::exists(std::filesystem::path(given))) {
    return LoadIdentity(given, &why);
  }
  const uint64_t serial = std::stoull(given);
  if (serial > UINT32_MAX || !store) {
    why = !store ? "--identity " + given + ": the record store is not open"
                 : "--identity " + given + " is no serial number";
    return std::nullopt;
  }
  StoreAnswer<StoredIdentity> answer = store->Identities({}, static_cast<uint32_t>(serial));
  if (!answer.Ok) {
    why = "--identity " + given + ": the saved identities cannot be read: " + answer.Error;
    return std::nullopt;
  }
  // The board's product first: the same serial number may exist for another.
  const StoredIdentity* found = nullptr;
  for (const StoredIdentity& item : answer.Items) {
    if (item.Identity.ProductName == product) {
      found = &item;
      break;
    }
  }
  if (!found && !answer.Items.empty()) found = &answer.Items.front();
  if (!found) {
    why = "--identity " + given + ": no identity of serial " + given +
          " is kept in the record store " + store->LocalPath();
    return std::nullopt;
  }
  SavedIdentity saved;
  saved.Identity = found->Identity;
  saved.Block = found->Block;
  saved.Time = found->ReadAt;
  saved.Path = "the record store (read on station " + found->Station + ")";
  return saved;
}

void AddCommonOptions(CLI::App& command, Options& options) {
  command.add_option("--files", options.Files,
                     "Folder with Loader.hex, F29f160d.hex and empty (default: the working "
                     "folder)");
  command.add_option("--baud", options.Baud, "Bit rate of the serial line")->default_val(38400);
  command
      .add_option("--timeout", options.TimeoutSeconds,
                  "Seconds the device may stay silent between its replies before a job is given "
                  "up; an erase or a programming always waits at least twice the flash part's "
                  "own maximum (30 s to erase a 64 KiB sector), whatever this says")
      ->default_val(5)
      ->check(CLI::Range(1, 3600));
  command.add_flag("-q,--quiet", options.Quiet, "No progress and no notes, only results");
  command.add_flag("-v,--verbose", options.Verbose, "Show the device log lines");
  command.add_flag("--json-lines", options.JsonLines,
                   "One JSON event a line on standard output, for a program to read");
  command.add_option("--station", options.Station,
                     "The station named in the records (default: the host name)");
  command.add_option("--operator", options.Operator,
                     "The operator named in the records (default: the login)");
  command.add_option("--db", options.Db,
                     "The line database the records are pushed to: a postgresql:// URL or libpq "
                     "conninfo (default: the environment variable UPDATER_DB; none: this "
                     "computer's store alone)");
}

int RunStationCommand(const Options& options, const StationOptions& station, const ImagePlan& image,
                      RecordStore* store) {
  StationSettings settings;
  std::optional<std::vector<PortName>> ports = ParsePorts(options);
  if (!ports) return ToInt(ExitCode::Usage);
  settings.Ports = std::move(*ports);
  if (station.NewIdentity) {
    if (station.Product.empty() || station.HardwareVersion.empty() || !station.SerialFrom) {
      std::fprintf(stderr,
                   "updater-cli: --new-identity needs --product, --hwver and --serial-from\n");
      return ToInt(ExitCode::Usage);
    }
    settings.SerialFrom = *station.SerialFrom;
    settings.SerialTo = station.SerialTo.value_or(UINT32_MAX);
    if (settings.SerialTo < settings.SerialFrom) {
      std::fprintf(stderr, "updater-cli: --serial-to %u lies below --serial-from %u\n",
                   settings.SerialTo, settings.SerialFrom);
      return ToInt(ExitCode::Usage);
    }
  } else if (!station.Product.empty() || !station.HardwareVersion.empty() ||
             !station.BrandLabel.empty() || station.SerialFrom || station.SerialTo) {
    std::fprintf(stderr,
                 "updater-cli: --product, --hwver, --brand and the serial range go with "
                 "--new-identity\n");
    return ToInt(ExitCode::Usage);
  }
  for (const std::string& expect : station.ExpectSerials) {
    std::string why;
    const bool number =
        !expect.empty() && expect.find_first_not_of("0123456789") == std::string::npos;
    if (number && expect.size() <= 10 && std::stoull(expect) <= UINT32_MAX) {
      settings.ExpectSerials.insert(static_cast<uint32_t>(std::stoull(expect)));
    } else if (!ReadSerialList(expect, settings.ExpectSerials, &why)) {
      std::fprintf(stderr, "updater-cli: %s\n", why.c_str());
      return ToInt(ExitCode::FileError);
    }
  }
  settings.NewIdentity = station.NewIdentity;
  settings.Product = station.Product;
  settings.HardwareVersion = station.HardwareVersion;
  settings.BrandLabel = station.BrandLabel;
  settings.Link.Store = store;
  settings.Link.Station = options.Station;
  settings.Link.Operator = options.Operator;
  settings.Link.FrontEnd = RecordFrontEnd::Station;
  settings.Count = station.Count;
  settings.Image = &image;
  settings.Link.FilesFolder = options.Files;
  settings.Link.BaudRate = options.Baud;
  settings.Link.VerifyAfterDownload = true;
  settings.Link.SilenceLimit = std::chrono::seconds(options.TimeoutSeconds);
  Console console(StyleForStandardError(options.Quiet, options.JsonLines), options.Verbose);
  return RunStation(settings, console);
}

}  // namespace

int main(int argc, char** argv) {
  // Every existing file the program reads (upload files, images) is opened
  // read-only and shared: write-protected files work, and nothing the operator
  // named is ever changed.
  SeqFile::DefaultOpenMode = FileOpenMode::ReadOnly;
  UseUtf8Console();
  const std::vector<std::string> argumentText = Utf8Arguments(argc, argv);
  std::vector<const char*> arguments;
  for (const std::string& argument : argumentText) arguments.push_back(argument.c_str());

  Options options;
  CLI::App app{"updater-cli: updates the firmware of C165 + 29F160D devices over a serial line."};
  app.set_version_flag("--version", UPDATER_VERSION);
  app.footer(std::string(PortNamesHelp()) + "\n\n" + ExitCodeHelp);
  app.require_subcommand(1);

  CLI::App* ports = app.add_subcommand("ports", "List the serial devices of this computer");

  CLI::App* identify = app.add_subcommand("identify", "Connect and print the device's identity");
  identify->add_option("--port", options.Ports, "Serial port")->required()->allow_extra_args(false);

  CLI::App* update = app.add_subcommand(
      "update", "Update the firmware; several --port update several devices at once");
  update->add_option("--port", options.Ports, "Serial port; repeat for several devices")
      ->required()
      ->allow_extra_args(false);
  update->add_option("IMAGE", options.Image, "Firmware image")->required();
  update->add_flag("--no-verify", options.NoVerify,
                   "Do not read the programmed sectors back to compare them");
  update->add_option("--identity", options.Identity,
                     "When a device holds no identity (an update of it was interrupted), use "
                     "this one: a serial number whose identity the record store keeps, or a "
                     "saved identity file. Refused (exit 4, before anything is erased) when that "
                     "serial number has finished an update since, on any station");
  update->add_flag("--force-identity", options.ForceIdentity,
                   "Use --identity even when its serial number finished an update since (the "
                   "record says so)");

  CLI::App* read = app.add_subcommand("read", "Read sectors 8 and 9 into FILE");
  read->add_option("--port", options.Ports, "Serial port")->required()->allow_extra_args(false);
  read->add_option("FILE", options.Destination, "Destination file")->required();

  CLI::App* erase =
      app.add_subcommand("erase", "Erase sectors 8 and 9 and program them from the file \"empty\"");
  erase->add_option("--port", options.Ports, "Serial port")->required()->allow_extra_args(false);
  erase->add_flag("-y,--yes", options.Yes, "Do not ask before erasing");

  StationOptions stationOptions;
  CLI::App* station = app.add_subcommand(
      "station",
      "Update board after board on every port: each port waits for its next board, updates "
      "it with verify and shows PASS or FAIL; Ctrl-C ends the station once the boards in "
      "progress are done (twice: cancels them)");
  station->add_option("--port", options.Ports, "Serial port; repeat for several")
      ->required()
      ->allow_extra_args(false);
  station->add_option("IMAGE", options.Image, "Firmware image")->required();
  station->add_option("--count", stationOptions.Count, "Stop after N boards on each port")
      ->check(CLI::Range(1, 1000000));
  station->add_flag("--new-identity", stationOptions.NewIdentity,
                    "Give a board whose flash holds no identity one, with the next free serial "
                    "number of --serial-from..--serial-to");
  station->add_option("--product", stationOptions.Product, "--new-identity: PRODUKTNAME");
  station->add_option("--hwver", stationOptions.HardwareVersion, "--new-identity: HARDWAREVER");
  station->add_option("--brand", stationOptions.BrandLabel, "--new-identity: BRANDLABEL");
  station->add_option("--serial-from", stationOptions.SerialFrom,
                      "--new-identity: the first serial number of the range");
  station->add_option("--serial-to", stationOptions.SerialTo,
                      "--new-identity: the last serial number of the range (default: no end)");
  station
      ->add_option("--expect-serial", stationOptions.ExpectSerials,
                   "Refuse a board whose serial number is not N (repeatable), or not in the "
                   "list FILE (one number a line)")
      ->allow_extra_args(false);
  AddCommonOptions(*station, options);

  for (CLI::App* command : {identify, update, read, erase}) {
    AddCommonOptions(*command, options);
    command->add_option("--report", options.Report, "Write a JSON report of the run to FILE")
        ->check([](const std::string& value) {
          return value.empty() ? std::string("--report needs a file name") : std::string();
        });
  }

  // The record store's commands: history and sync.
  const std::unique_ptr<StoreCommands> storeCommands = AddStoreCommands(app);
  try {
    app.parse(static_cast<int>(argumentText.size()), arguments.data());
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : ToInt(ExitCode::Usage);
  }
  if (const std::optional<int> code = RunStoreCommand(*storeCommands)) return *code;
  // From here on a signal ends the jobs as cancelled, and the records and
  // the report are still written.
  CatchStopSignals(StopSignal);
  // The history and the saved identities are never a destination of this run.
  AddStateFilesTo(OwnFiles::OfThisRun());
  if (!SupportedBaudRate(options.Baud)) {
    std::fprintf(stderr, "updater-cli: --baud %u is not a rate the serial line offers\n",
                 options.Baud);
    return ToInt(ExitCode::Usage);
  }

  if (ports->parsed()) return ListPorts();
  if (!options.Db.empty() || !LineUrlFrom({}).empty()) {
    if (!LineDatabaseSupported()) {
      std::fprintf(stderr,
                   "updater-cli: this build of updater-cli has no PostgreSQL support: a line "
                   "database cannot be used here\n");
      return ToInt(ExitCode::Usage);
    }
  }
  const std::unique_ptr<RecordStore> store = OpenStore(options);
  if (identify->parsed())
    return RunPorts(Command::Identify, options, nullptr, nullptr, store.get());
  if (read->parsed()) return RunPorts(Command::Read, options, nullptr, nullptr, store.get());
  if (erase->parsed()) {
    if (!options.Yes && !AskToErase(options.Ports.front(), options.Files)) {
      std::fprintf(stderr,
                   "updater-cli: nothing erased (confirm with --yes when not asked on a "
                   "terminal)\n");
      return ToInt(ExitCode::Usage);
    }
    return RunPorts(Command::Erase, options, nullptr, nullptr, store.get());
  }
  if (!options.Identity.empty() && options.Ports.size() > 1) {
    std::fprintf(stderr,
                 "updater-cli: --identity %s is one board's identity: with %zu ports every "
                 "board would get the same serial number; update the board that lost its "
                 "identity on its own\n",
                 options.Identity.c_str(), options.Ports.size());
    return ToInt(ExitCode::Usage);
  }
  const ImagePlan image = PlanImage(options.Image);
  std::string why;
  const ExitCode planned = CheckImage(image, why);
  if (planned != ExitCode::Success) {
    std::fprintf(stderr, "updater-cli: %s\n", why.c_str());
    if (!image.Identity.ProductName.empty() || planned == ExitCode::ImageRefused) {
      std::fprintf(stderr, "updater-cli: image: %s\n", DescribeImage(image.Identity).c_str());
    }
    return ToInt(planned);
  }
  if (station->parsed()) return RunStationCommand(options, stationOptions, image, store.get());
  std::optional<SavedIdentity> kept;
  if (!options.Identity.empty()) {
    kept = FindIdentity(options.Identity, store.get(), image.Identity.ProductName, why);
    if (!kept) {
      std::fprintf(stderr, "updater-cli: %s\n", why.c_str());
      return ToInt(ExitCode::FileError);
    }
  }
  return RunPorts(Command::Update, options, &image, kept ? &*kept : nullptr, store.get());
}
