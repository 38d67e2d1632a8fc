// updater-cli history and updater-cli sync: what the record store knows of
// past jobs ("what happened to serial 4711?"), from this computer's store or
// the line's database, and the push of the rows that wait for the line.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

struct HistoryOptions {
  std::optional<uint32_t> Serial;
  std::string Station;
  std::string Since;    // UTC: "2026-12-08", "2026-12-08T11:05", ...
  std::string Outcome;  // ok, failed, refused, cancelled
  bool Json = false;
  bool Csv = false;
  std::string Db;         // --db; empty: UPDATER_DB, else this computer's store only
  std::string StorePath;  // empty: the user's store
};

struct SyncOptions {
  std::string Db;
  std::string StorePath;
};

// Exit codes: 0 answered (also from this computer's store alone when the
// line database was not reached: a note on `err` says so), 1 usage, 7 the
// store cannot be read.
int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);
// Exit codes: 0 nothing waits any more, 1 usage (no line database given),
// 3 the line database was not reached or refused rows (they still wait),
// 7 the store cannot be read.
int RunSync(const SyncOptions& options, std::ostream& out, std::ostream& err);

// The two commands as subcommands of `app`; RunStoreCommand runs the one the
// command line chose, and gives nothing when it chose neither.
struct StoreCommands {
  CLI::App* History = nullptr;
  CLI::App* Sync = nullptr;
  HistoryOptions HistoryArgs;
  SyncOptions SyncArgs;
};
std::unique_ptr<StoreCommands> AddStoreCommands(CLI::App& app);
std::optional<int> RunStoreCommand(const StoreCommands& commands);
