#include "history.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "history_os.h"
#include "identity_store.h"
#include "platform/own_files.h"
#include "platform/regular_file.h"
#include "store/record_store.h"

namespace {

namespace fs = std::filesystem;

constexpr char HistoryFolder[] = "updater";
constexpr char HistoryFileName[] = "history.jsonl";
// How these files are named when a destination would be one of them.
constexpr char HistoryWords[] = "the update history";
constexpr char SavedIdentityWords[] = "the saved identity";

// Paths travel as UTF-8 everywhere in the program; the system's own names
// (wide ones on Windows) are made from them here.
fs::path PathFromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto millis = floor<milliseconds>(time);
  const auto day = floor<days>(millis);
  const year_month_day date{day};
  const hh_mm_ss clock{millis - day};
  char text[64];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

const char* VerifyResultName(VerifyResult result) {
  switch (result) {
    case VerifyResult::NotRun:
      return "not run";
    case VerifyResult::Passed:
      return "passed";
    case VerifyResult::Mismatch:
      return "mismatch";
  }
  return "unknown";
}

std::optional<std::string> HistoryJobName(Job job) {
  switch (job) {
    case Job::Download:
      return std::string("update");
    case Job::EraseOnly:
      return std::string("erase");
    case Job::ReadBack:
      return std::string("read-back");
    case Job::Connect:
    case Job::VerifyHardware:
      break;
  }
  return std::nullopt;
}

void TakeJobResult(HistoryRecord& record, const JobResult& result, bool verifyAsked) {
  record.Outcome = OutcomeName(result.Outcome);
  record.Reason = result.Outcome == JobOutcome::Ok ? std::string() : result.Reason;
  record.Verify = VerifyResult::NotRun;
  if (verifyAsked && result.Outcome == JobOutcome::Ok) record.Verify = VerifyResult::Passed;
  if (result.Failure == JobFailure::VerifyMismatch) {
    record.Verify = VerifyResult::Mismatch;
    record.VerifyAddress = result.Address;
    record.VerifyWritten = result.Written;
    record.VerifyRead = result.Read;
  }
}

std::string HistoryFilePath() {
  const std::string state = StateFolder();
  if (state.empty()) return std::string();
  return Utf8FromPath(PathFromUtf8(state) / HistoryFolder / HistoryFileName);
}

std::string HistoryLine(const HistoryRecord& record) {
  nlohmann::ordered_json line;
  line["time"] = UtcTimeText(record.Time);
  line["frontEnd"] = record.FrontEnd;
  line["job"] = record.Job;
  line["port"] = record.Port;
  line["deviceFile"] = record.DeviceFile;
  if (record.Identity) {
    const DeviceIdentity& id = *record.Identity;
    line["identity"] = {
        {"productName", id.ProductName},
        {"hardwareVersion", id.HardwareVersion},
        {"serialNumber", id.SerialNumberFound ? nlohmann::ordered_json(id.SerialNumber)
                                              : nlohmann::ordered_json(nullptr)},
        {"brandLabel", id.BrandLabel},
    };
  } else {
    line["identity"] = nullptr;
  }
  line["file"] = record.ImagePath.empty() ? nlohmann::ordered_json(nullptr)
                                          : nlohmann::ordered_json(record.ImagePath);
  line["sha256"] = record.ImageSha256.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(record.ImageSha256);
  line["outcome"] = record.Outcome;
  if (!record.Reason.empty()) line["reason"] = record.Reason;
  line["verify"] = VerifyResultName(record.Verify);
  if (record.Verify == VerifyResult::Mismatch) {
    line["verifyAddress"] = record.VerifyAddress;
    line["verifyWritten"] = record.VerifyWritten;
    line["verifyRead"] = record.VerifyRead;
  }
  // Device strings may hold bytes that are no UTF-8: they become U+FFFD.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool AppendHistory(const HistoryRecord& record, std::string* warning, const std::string& path) {
  auto fail = [warning](std::string why) {
    if (warning) *warning = std::move(why);
    return false;
  };
  const std::string file = path.empty() ? HistoryFilePath() : path;
  if (file.empty()) return fail(std::string("history not written: ") + NoStateFolderReason());
  std::error_code error;
  try {
    fs::create_directories(PathFromUtf8(file).parent_path(), error);
  } catch (const std::exception& e) {
    return fail("history not written: " + file + ": " + e.what());
  }
  if (error) {
    return fail("history not written: cannot make the folder of " + file + ": " + error.message());
  }
  // No destination of this run may be the history it writes to.
  OwnFiles::OfThisRun().Add(file, HistoryWords);
  return AppendLocked(file, HistoryLine(record) + "\n", warning);
}

void AddStateFilesTo(OwnFiles& own) {
  own.Add(HistoryFilePath(), HistoryWords);
  own.AddFolder(IdentityFolder(), SavedIdentityWords);
  // The record store and SQLite's files beside it.
  if (const std::string store = DefaultStorePath(); !store.empty()) {
    for (const char* end : {"", "-wal", "-shm", "-journal"})
      own.Add(store + end, "the record store");
  }
}

namespace {

std::string HexOf(const Sha256::Digest& digest) {
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : digest) {
    text += Hex[byte >> 4];
    text += Hex[byte & 0xF];
  }
  return text;
}

constexpr char NoSha256[] = "SHA-256 is not available";

}  // namespace

std::optional<std::string> FileSha256(const std::string& path, std::string* why) {
  // Opened as every file the program reads: a FIFO or a device is refused at
  // once, never waited for.
  RegularFile file;
  SysError error;
  if (!file.Open(path, FileAccess::Read, error)) {
    if (why) *why = error.Text;
    return std::nullopt;
  }
  Sha256 hash;
  if (!hash.Ready()) {
    if (why) *why = NoSha256;
    return std::nullopt;
  }
  std::vector<uint8_t> buffer(64 * 1024);
  for (;;) {
    const int64_t got = file.Read(buffer.data(), buffer.size(), error);
    if (got < 0) {
      if (why) *why = error.Text;
      return std::nullopt;
    }
    if (got == 0) break;
    hash.Add(buffer.data(), static_cast<size_t>(got));
  }
  return HexOf(hash.Finish());
}

std::optional<std::string> BytesSha256(std::span<const uint8_t> bytes, std::string* why) {
  Sha256 hash;
  if (!hash.Ready()) {
    if (why) *why = NoSha256;
    return std::nullopt;
  }
  hash.Add(bytes.data(), bytes.size());
  return HexOf(hash.Finish());
}
