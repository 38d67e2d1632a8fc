#include "history.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;

constexpr char HistoryFolder[] = "updater";
constexpr char HistoryFileName[] = "history.jsonl";

}  // namespace

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  const auto sinceEpoch = time.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

namespace {

std::string SystemWords(int error) {
  return std::strerror(error);
}

}  // namespace

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
  const char* state = std::getenv("XDG_STATE_HOME");
  fs::path base;
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return std::string();
    base = fs::path(home) / ".local" / "state";
  }
  return (base / HistoryFolder / HistoryFileName).string();
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
  if (file.empty()) return fail("history not written: neither XDG_STATE_HOME nor HOME is set");
  std::error_code error;
  fs::create_directories(fs::path(file).parent_path(), error);
  if (error) {
    return fail("history not written: cannot make the folder of " + file + ": " + error.message());
  }
  const std::string line = HistoryLine(record) + "\n";
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail("history not written: cannot open " + file + ": " + SystemWords(errno));
  // The lock keeps writers on file systems without atomic appends apart; the
  // single write of the whole line keeps them apart everywhere else.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int lockError = errno;
      ::close(fd);
      return fail("history not written: cannot lock " + file + ": " + SystemWords(lockError));
    }
  }
  ssize_t written = 0;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  ::flock(fd, LOCK_UN);
  const bool closed = ::close(fd) == 0;
  if (written != static_cast<ssize_t>(line.size())) {
    return fail("history not written: " + file + ": " +
                (written < 0 ? SystemWords(writeError) : std::string("short write")));
  }
  if (!closed) return fail("history may be incomplete: closing " + file + " failed");
  return true;
}

std::optional<std::string> FileSha256(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (why) *why = "cannot read " + path + ": " + SystemWords(errno);
    return std::nullopt;
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    if (why) *why = "SHA-256 is not available";
    return std::nullopt;
  }
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    const std::streamsize got = in.gcount();
    if (got > 0) EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(got));
  }
  if (in.bad()) {
    if (why) *why = "cannot read " + path;
    return std::nullopt;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += Hex[digest[i] >> 4];
    text += Hex[digest[i] & 0xF];
  }
  return text;
}
