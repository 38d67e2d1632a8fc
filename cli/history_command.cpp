#include "history_command.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "exit_code.h"
#include "store/record_store.h"

namespace {

constexpr char DbHelp[] =
    "The line database: a postgresql:// URL or libpq conninfo (default: the environment "
    "variable UPDATER_DB)";

// The store for a command, or the exit code and the message why not.
std::unique_ptr<RecordStore> OpenFor(const std::string& db, const std::string& path,
                                     std::ostream& err, int& code) {
  StoreConfig config;
  config.LocalPath = path;
  config.LineUrl = LineUrlFrom(db);
  if (!config.LineUrl.empty() && !LineDatabaseSupported()) {
    err << "updater-cli: this build of updater-cli has no PostgreSQL support: a line database "
           "cannot be used here (given by "
        << (db.empty() ? "UPDATER_DB" : "--db") << ")\n";
    code = ToInt(ExitCode::Usage);
    return nullptr;
  }
  std::string why;
  std::unique_ptr<RecordStore> store = RecordStore::Open(config, &why);
  if (!store) {
    err << "updater-cli: " << why << "\n";
    code = ToInt(ExitCode::FileError);
    return nullptr;
  }
  if (!store->ImportNote().empty()) err << "updater-cli: note: " << store->ImportNote() << "\n";
  return store;
}

std::string Serial(const JobRecord& record) {
  const DeviceIdentity* board = record.Board();
  return board && board->SerialNumberFound ? std::to_string(board->SerialNumber) : "-";
}

void PrintTable(const std::vector<JobRecord>& records, std::ostream& out) {
  const std::vector<std::string> headings = {"STARTED (UTC)", "STATION", "PORT",     "JOB",
                                             "PRODUCT",       "SERIAL",  "FIRMWARE", "OUTCOME",
                                             "EXIT",          "CAUSE"};
  std::vector<std::vector<std::string>> rows;
  for (const JobRecord& r : records) {
    const std::string started = UtcText(r.Started);
    const DeviceIdentity* board = r.Board();
    rows.push_back({
        started.substr(0, 10) + " " + started.substr(11, 8),
        r.Station.empty() ? "-" : r.Station,
        r.Port.empty() ? "-" : r.Port,
        Word(r.Job),
        board && !board->ProductName.empty() ? board->ProductName : "-",
        Serial(r),
        r.Image && !r.Image->FirmwareVersion.empty() ? r.Image->FirmwareVersion : "-",
        Word(r.Outcome),
        r.ExitCode ? std::to_string(*r.ExitCode) : "-",
        r.FailureCause.empty() || r.FailureReason.empty() ? r.FailureCause + r.FailureReason
                                                          : r.FailureCause + ": " + r.FailureReason,
    });
  }
  std::vector<size_t> widths(headings.size());
  for (size_t c = 0; c < headings.size(); ++c) {
    widths[c] = headings[c].size();
    for (const auto& row : rows) widths[c] = std::max(widths[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      // The last column runs to the line's end, unpadded.
      if (c + 1 < cells.size()) text += std::string(widths[c] - cells[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(headings);
  for (const auto& row : rows) line(row);
}

}  // namespace

int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
  RecordFilter filter;
  filter.Serial = options.Serial;
  filter.Station = options.Station;
  if (options.Json && options.Csv) {
    err << "updater-cli: history takes --json or --csv, not both\n";
    return ToInt(ExitCode::Usage);
  }
  if (!options.Since.empty()) {
    filter.Since = ParseUtcText(options.Since);
    if (!filter.Since) {
      err << "updater-cli: --since " << options.Since
          << " is no time: give a UTC date or time such as 2026-12-08 or 2026-12-08T11:05\n";
      return ToInt(ExitCode::Usage);
    }
  }
  if (!options.Outcome.empty()) {
    filter.Outcome = OutcomeFromWord(options.Outcome);
    if (!filter.Outcome) {
      err << "updater-cli: --outcome " << options.Outcome
          << " is none of ok, failed, refused, cancelled\n";
      return ToInt(ExitCode::Usage);
    }
  }
  int code = 0;
  const std::unique_ptr<RecordStore> store = OpenFor(options.Db, options.StorePath, err, code);
  if (!store) return code;
  const StoreAnswer<JobRecord> answer = store->Query(filter);
  if (!answer.Ok) {
    err << "updater-cli: the records cannot be read: " << answer.Error << "\n";
    return ToInt(ExitCode::FileError);
  }
  if (!answer.Note.empty()) err << "updater-cli: note: " << answer.Note << "\n";
  if (options.Json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const JobRecord& record : answer.Items) list.push_back(RecordToJson(record));
    out << list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
  } else if (options.Csv) {
    out << RecordCsvHeader();
    for (const JobRecord& record : answer.Items) out << RecordCsvLine(record);
  } else if (answer.Items.empty()) {
    err << "updater-cli: no job recorded matches\n";
  } else {
    PrintTable(answer.Items, out);
  }
  return 0;
}

int RunSync(const SyncOptions& options, std::ostream& out, std::ostream& err) {
  if (LineUrlFrom(options.Db).empty()) {
    err << "updater-cli: sync needs a line database: give --db postgresql://... or set "
           "UPDATER_DB\n";
    return ToInt(ExitCode::Usage);
  }
  int code = 0;
  const std::unique_ptr<RecordStore> store = OpenFor(options.Db, options.StorePath, err, code);
  if (!store) return code;
  const SyncResult result = store->Sync();
  out << "pushed " << result.Pushed << " row(s); " << result.Waiting << " wait\n";
  if (result.Ok) return 0;
  if (result.Waiting == 0) {
    err << "updater-cli: " << result.Error << "\n";
  } else {
    err << "updater-cli: " << result.Waiting << " row(s) still wait in " << store->LocalPath()
        << ": " << result.Error << "; run sync again when the database is back\n";
  }
  // 3, as for a device: the other end did not answer.
  return ToInt(ExitCode::DeviceSilent);
}

std::unique_ptr<StoreCommands> AddStoreCommands(CLI::App& app) {
  auto commands = std::make_unique<StoreCommands>();
  HistoryOptions& h = commands->HistoryArgs;
  commands->History = app.add_subcommand(
      "history", "The recorded jobs, oldest first: from the line database, else this computer's");
  CLI::App& history = *commands->History;
  history.add_option("--serial", h.Serial, "Only the jobs on the board with this serial number");
  history.add_option("--station", h.Station, "Only the jobs of this station");
  history.add_option("--since", h.Since, "Only the jobs started at or after this UTC time");
  history.add_option("--outcome", h.Outcome, "Only the jobs with this outcome")
      ->check(CLI::IsMember({"ok", "failed", "refused", "cancelled"}));
  history.add_flag("--json", h.Json, "The records as a JSON list (docs/cli.md, Record schema)");
  history.add_flag("--csv", h.Csv, "The records as CSV, one line each");
  history.add_option("--db", h.Db, DbHelp);
  commands->Sync =
      app.add_subcommand("sync", "Push the records and identities waiting for the line database");
  commands->Sync->add_option("--db", commands->SyncArgs.Db, DbHelp);
  return commands;
}

std::optional<int> RunStoreCommand(const StoreCommands& commands) {
  if (commands.History->parsed()) return RunHistory(commands.HistoryArgs, std::cout, std::cerr);
  if (commands.Sync->parsed()) return RunSync(commands.SyncArgs, std::cout, std::cerr);
  return std::nullopt;
}
