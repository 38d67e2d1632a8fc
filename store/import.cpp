#include "import.h"

#include <cstdio>

namespace {

// 64 bits of FNV-1a from `offset`: two of them, from different offsets, give
// the 122 bits a name-derived UUID needs.
uint64_t Fnv1a(const std::string& text, uint64_t offset) {
  uint64_t hash = offset;
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// A UUID of version 8 (its bits are ours to define) from `name`.
std::string NameUuid(const std::string& name) {
  const uint64_t high = Fnv1a(name, 0xcbf29ce484222325ULL);
  const uint64_t low = Fnv1a(name, 0x84222325cbf29ce4ULL ^ high);
  char text[40];
  std::snprintf(text, sizeof text, "%08llx-%04llx-8%03llx-%04llx-%012llx",
                static_cast<unsigned long long>(high >> 32),
                static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFF),
                static_cast<unsigned long long>(((low >> 48) & 0x3FFF) | 0x8000),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

const nlohmann::json& Field(const nlohmann::json& object, const char* key) {
  static const nlohmann::json missing;
  if (!object.is_object()) return missing;
  const auto it = object.find(key);
  return it == object.end() ? missing : *it;
}

std::string TextOr(const nlohmann::json& value, const std::string& otherwise = {}) {
  return value.is_string() ? value.get<std::string>() : otherwise;
}

bool SerialOf(const nlohmann::json& value, uint32_t& serial) {
  if (!value.is_number_unsigned() || value.get<uint64_t>() > UINT32_MAX) return false;
  serial = value.get<uint32_t>();
  return true;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<uint8_t>> FromHex(const std::string& text) {
  if (text.size() % 2 != 0 || text.size() > 2 * IdentityBlockMax) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = Nibble(text[i]);
    const int low = Nibble(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace

std::optional<JobRecord> RecordFromHistoryLine(const std::string& line, int number,
                                               std::string* why) {
  const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
  auto refuse = [why](const char* what) {
    if (why) *why = what;
    return std::nullopt;
  };
  if (json.is_discarded() || !json.is_object()) return refuse("not JSON");
  const std::optional<RecordTime> time = ParseUtcText(TextOr(Field(json, "time")));
  if (!time) return refuse("no time");
  const std::optional<RecordJob> job = JobFromWord(TextOr(Field(json, "job")));
  const std::optional<RecordOutcome> outcome = OutcomeFromWord(TextOr(Field(json, "outcome")));
  if (!job || !outcome) return refuse("no job or outcome");

  JobRecord r;
  r.Uuid = NameUuid("history.jsonl:" + std::to_string(number) + ":" + line);
  r.Started = r.Ended = *time;
  r.FrontEnd =
      TextOr(Field(json, "frontEnd")) == "window" ? RecordFrontEnd::Window : RecordFrontEnd::Cli;
  r.Job = *job;
  r.Port = TextOr(Field(json, "port"));
  r.DeviceFile = TextOr(Field(json, "deviceFile"));
  const nlohmann::json& identity = Field(json, "identity");
  if (identity.is_object()) {
    DeviceIdentity id;
    id.ProductName = TextOr(Field(identity, "productName"));
    id.HardwareVersion = TextOr(Field(identity, "hardwareVersion"));
    id.BrandLabel = TextOr(Field(identity, "brandLabel"));
    id.SerialNumberFound = SerialOf(Field(identity, "serialNumber"), id.SerialNumber);
    r.IdentityBefore = id;
    r.Source = IdentitySource::Device;
  }
  if (Field(json, "file").is_string()) {
    RecordImage image;
    image.Path = TextOr(Field(json, "file"));
    image.Sha256 = TextOr(Field(json, "sha256"));
    r.Image = image;
  }
  r.Outcome = *outcome;
  r.FailureReason = TextOr(Field(json, "reason"));
  const std::string verify = TextOr(Field(json, "verify"));
  if (verify == "passed") r.Verify = VerifyState::Passed;
  if (verify == "mismatch") {
    r.Verify = VerifyState::Mismatch;
    const nlohmann::json& address = Field(json, "verifyAddress");
    const nlohmann::json& written = Field(json, "verifyWritten");
    const nlohmann::json& read = Field(json, "verifyRead");
    if (address.is_number_integer()) r.VerifyAddress = address.get<int64_t>();
    if (written.is_number_integer()) r.VerifyWritten = written.get<int>();
    if (read.is_number_integer()) r.VerifyRead = read.get<int>();
  }
  // The old lines do not say how far a job that did not end well got; only
  // one that ended ok surely changed the flash. A failed update counted as
  // untouched keeps its serial number from being given to a second board.
  r.FlashTouched =
      r.Outcome == RecordOutcome::Ok && (r.Job == RecordJob::Update || r.Job == RecordJob::Erase);
  return r;
}

std::optional<StoredIdentity> IdentityFromFile(const std::string& text, std::string* why) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  StoredIdentity saved;
  const bool wellFormed = !json.is_discarded() && json.is_object() &&
                          Field(json, "product").is_string() &&
                          Field(json, "hardware").is_string() && Field(json, "brand").is_string() &&
                          Field(json, "block").is_string() && Field(json, "time").is_string();
  if (!wellFormed) {
    if (why) *why = "not a saved identity";
    return std::nullopt;
  }
  saved.Identity.ProductName = TextOr(Field(json, "product"));
  saved.Identity.HardwareVersion = TextOr(Field(json, "hardware"));
  saved.Identity.BrandLabel = TextOr(Field(json, "brand"));
  saved.Identity.SerialNumberFound = SerialOf(Field(json, "serial"), saved.Identity.SerialNumber);
  std::optional<std::vector<uint8_t>> block = FromHex(TextOr(Field(json, "block")));
  const std::optional<RecordTime> time = ParseUtcText(TextOr(Field(json, "time")));
  if (!block || !time || saved.Identity.ProductName.empty()) {
    if (why) *why = "a broken saved identity";
    return std::nullopt;
  }
  saved.Block = std::move(*block);
  saved.ReadAt = UtcText(*time);
  return saved;
}
