#include "identity_store.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "history_os.h"
#include "platform/destination.h"
#include "platform/regular_file.h"

namespace fs = std::filesystem;

namespace {

std::string NowUtc() {
  // std::gmtime shares one result between threads; several ports may save
  // at once.
  static std::mutex mutex;
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::lock_guard lock(mutex);
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", utc);
  return text;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += Digits[b >> 4];
    text += Digits[b & 0xF];
  }
  return text;
}

std::optional<std::vector<uint8_t>> FromHex(const std::string& text) {
  if (text.size() % 2 != 0 || text.size() > 2 * 4096) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    char* end = nullptr;
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// A saved identity file is a few kilobytes (a hex block of at most 4096
// bytes and four short fields); anything much larger is no saved identity.
constexpr int64_t MaxIdentityFileBytes = 64 * 1024;

// Paths travel as UTF-8; the system's own names are made from them here.
fs::path PathFromUtf8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Written to a new file of its own beside its final name (the ports of one
// run, or two runs, may save last.json at the same moment) and renamed over
// it: a reader sees the old file or the new one, never half of one, and a
// link or a FIFO planted at either name is never written through.
bool WriteWhole(const fs::path& path, const std::string& text, std::string* why) {
  DestinationFile file;
  SysError error;
  if (!file.BeginOwn(Utf8FromPath(path), error) || !file.Write(text.data(), text.size(), error)) {
    if (why) *why = error.Text;
    return false;
  }
  // Windows refuses to replace a file that another rename is replacing right
  // then: the ports of this run take turns (another process's moment is
  // waited out by the rename itself).
  static std::mutex renaming;
  std::lock_guard lock(renaming);
  if (!file.Commit(error)) {
    if (why) *why = error.Text;
    return false;
  }
  return true;
}

}  // namespace

std::string IdentityFolder() {
  // Beside the history: $XDG_STATE_HOME/updater (else ~/.local/state/updater)
  // on POSIX, %LOCALAPPDATA%\updater on Windows.
  const std::string state = StateFolder();
  if (state.empty()) return {};
  return state + "/updater/identities";
}

bool SaveIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block,
                  std::string* why, const std::string& folder) {
  const fs::path where = PathFromUtf8(folder.empty() ? IdentityFolder() : folder);
  if (where.empty()) {
    if (why) *why = "no folder for saved identities (HOME is not set)";
    return false;
  }
  std::error_code error;
  fs::create_directories(where, error);
  if (error) {
    if (why) *why = "cannot create " + Utf8FromPath(where) + ": " + error.message();
    return false;
  }
  nlohmann::ordered_json json;
  json["time"] = NowUtc();
  json["product"] = identity.ProductName;
  json["hardware"] = identity.HardwareVersion;
  json["serial"] = identity.SerialNumberFound ? nlohmann::ordered_json(identity.SerialNumber)
                                              : nlohmann::ordered_json(nullptr);
  json["brand"] = identity.BrandLabel;
  json["block"] = Hex(block);
  const std::string text = json.dump(2) + "\n";
  if (identity.SerialNumberFound &&
      !WriteWhole(where / ("serial-" + std::to_string(identity.SerialNumber) + ".json"), text,
                  why)) {
    return false;
  }
  return WriteWhole(where / "last.json", text, why);
}

std::optional<SavedIdentity> LoadIdentity(const std::string& path, std::string* why) {
  // The program's safe open: a FIFO or a device at the name is refused at
  // once, never waited for.
  const FileRead read = ReadRegularFile(path, MaxIdentityFileBytes);
  if (!read) {
    if (why) *why = read.Error.Text;
    return std::nullopt;
  }
  const nlohmann::json json =
      nlohmann::json::parse(read.Bytes.begin(), read.Bytes.end(), nullptr, false);
  // Every field is looked up, never assumed: a file is whatever is on disk.
  const auto field = [&json](const char* key) -> const nlohmann::json& {
    static const nlohmann::json missing;
    if (!json.is_object()) return missing;
    const auto it = json.find(key);
    return it == json.end() ? missing : *it;
  };
  const bool wellFormed =
      !json.is_discarded() && json.is_object() && field("product").is_string() &&
      field("hardware").is_string() && field("brand").is_string() && field("block").is_string() &&
      field("time").is_string() &&
      (field("serial").is_null() ||
       (field("serial").is_number_unsigned() && field("serial").get<uint64_t>() <= UINT32_MAX));
  if (!wellFormed) {
    if (why) *why = path + " is not a saved identity";
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> block = FromHex(field("block").get<std::string>());
  if (!block) {
    if (why) *why = path + " holds a broken identity block";
    return std::nullopt;
  }
  SavedIdentity saved;
  saved.Identity.ProductName = field("product").get<std::string>();
  saved.Identity.HardwareVersion = field("hardware").get<std::string>();
  saved.Identity.BrandLabel = field("brand").get<std::string>();
  saved.Identity.SerialNumberFound = field("serial").is_number_unsigned();
  if (saved.Identity.SerialNumberFound) {
    saved.Identity.SerialNumber = field("serial").get<uint32_t>();
  }
  if (saved.Identity.ProductName.empty()) {
    if (why) *why = path + " names no product";
    return std::nullopt;
  }
  saved.Block = std::move(*block);
  saved.Time = field("time").get<std::string>();
  saved.Path = path;
  return saved;
}

std::optional<SavedIdentity> LastSavedIdentity(const std::string& folder) {
  const fs::path where = PathFromUtf8(folder.empty() ? IdentityFolder() : folder);
  if (where.empty()) return std::nullopt;
  return LoadIdentity(Utf8FromPath(where / "last.json"));
}

std::string DescribeIdentity(const DeviceIdentity& identity) {
  std::string text = identity.ProductName + ", hardware " + identity.HardwareVersion;
  text += identity.SerialNumberFound ? ", serial " + std::to_string(identity.SerialNumber)
                                     : std::string(", no serial number");
  if (!identity.BrandLabel.empty()) text += ", brand label " + identity.BrandLabel;
  return text;
}
