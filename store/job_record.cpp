#include "job_record.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace {

using Json = nlohmann::ordered_json;

template <typename Enum, size_t N>
struct WordTable {
  std::array<std::pair<Enum, const char*>, N> Rows;

  const char* Of(Enum value) const {
    for (const auto& [key, word] : Rows) {
      if (key == value) return word;
    }
    return "unknown";
  }
  std::optional<Enum> From(std::string_view word) const {
    for (const auto& [key, text] : Rows) {
      if (word == text) return key;
    }
    return std::nullopt;
  }
};

constexpr WordTable<RecordFrontEnd, 3> FrontEnds{{{
    {RecordFrontEnd::Cli, "cli"},
    {RecordFrontEnd::Window, "window"},
    {RecordFrontEnd::Station, "station"},
}}};
constexpr WordTable<RecordJob, 5> Jobs{{{
    {RecordJob::Update, "update"},
    {RecordJob::Erase, "erase"},
    {RecordJob::ReadBack, "read-back"},
    {RecordJob::Identify, "identify"},
    {RecordJob::Connect, "connect"},
}}};
constexpr WordTable<RecordPhase, RecordPhaseCount> Phases{{{
    {RecordPhase::Connect, "connect"},
    {RecordPhase::Identify, "identify"},
    {RecordPhase::Erase, "erase"},
    {RecordPhase::Program, "program"},
    {RecordPhase::Verify, "verify"},
}}};
constexpr WordTable<IdentitySource, 3> Sources{{{
    {IdentitySource::Device, "device"},
    {IdentitySource::Saved, "saved"},
    {IdentitySource::New, "new"},
}}};
constexpr WordTable<VerifyState, 4> Verifies{{{
    {VerifyState::NotRun, "not-run"},
    {VerifyState::Passed, "passed"},
    {VerifyState::Mismatch, "mismatch"},
    {VerifyState::LineLost, "line-lost"},
}}};
constexpr WordTable<RecordOutcome, 4> Outcomes{{{
    {RecordOutcome::Ok, "ok"},
    {RecordOutcome::Failed, "failed"},
    {RecordOutcome::Refused, "refused"},
    {RecordOutcome::Cancelled, "cancelled"},
}}};

Json OrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

Json TimeOrNull(const std::optional<RecordTime>& time) {
  return time ? Json(UtcText(*time)) : Json(nullptr);
}

Json IdentityJson(const std::optional<DeviceIdentity>& identity) {
  if (!identity) return nullptr;
  return Json{
      {"productName", identity->ProductName},
      {"hardwareVersion", identity->HardwareVersion},
      {"serialNumber", identity->SerialNumberFound ? Json(identity->SerialNumber) : Json(nullptr)},
      {"brandLabel", identity->BrandLabel},
  };
}

// Reads a stored or printed record. The first field that is missing or of
// the wrong type stops the reading and is named in the reason.
class Reader {
 public:
  explicit Reader(std::string* why) : why_(why) {}

  bool Ok() const { return ok_; }

  const nlohmann::json* Field(const nlohmann::json& object, const char* key, bool nullable) {
    if (!ok_) return nullptr;
    if (!object.is_object()) return Fail(key, "its object is missing");
    const auto it = object.find(key);
    if (it == object.end()) return Fail(key, "missing");
    if (it->is_null()) return nullable ? nullptr : Fail(key, "null");
    return &*it;
  }

  std::string Text(const nlohmann::json& object, const char* key, bool nullable = false) {
    const nlohmann::json* value = Field(object, key, nullable);
    if (!value) return {};
    if (!value->is_string()) return Fail(key, "not a text"), std::string();
    return value->get<std::string>();
  }

  template <typename Int>
  std::optional<Int> Number(const nlohmann::json& object, const char* key, bool nullable,
                            int64_t low, int64_t high) {
    const nlohmann::json* value = Field(object, key, nullable);
    if (!value) return std::nullopt;
    if (!value->is_number_integer()) return Fail(key, "not a whole number"), std::nullopt;
    const int64_t number =
        value->is_number_unsigned() && value->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
            ? high + 1
            : value->get<int64_t>();
    if (number < low || number > high) return Fail(key, "out of range"), std::nullopt;
    return static_cast<Int>(number);
  }

  bool Flag(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = Field(object, key, false);
    if (!value) return false;
    if (!value->is_boolean()) return Fail(key, "not true or false"), false;
    return value->get<bool>();
  }

  std::optional<RecordTime> Time(const nlohmann::json& object, const char* key, bool nullable) {
    const nlohmann::json* value = Field(object, key, nullable);
    if (!value) return std::nullopt;
    std::optional<RecordTime> time;
    if (value->is_string()) time = ParseUtcText(value->get<std::string>());
    if (!time) Fail(key, "not a UTC time");
    return time;
  }

  template <typename Enum, size_t N>
  Enum Word(const nlohmann::json& object, const char* key, const WordTable<Enum, N>& table,
            Enum otherwise) {
    const std::string text = Text(object, key);
    if (!ok_) return otherwise;
    const std::optional<Enum> value = table.From(text);
    if (!value) return Fail(key, "an unknown word"), otherwise;
    return *value;
  }

  std::optional<DeviceIdentity> Identity(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = Field(object, key, true);
    if (!value) return std::nullopt;
    DeviceIdentity identity;
    identity.ProductName = Text(*value, "productName");
    identity.HardwareVersion = Text(*value, "hardwareVersion");
    identity.BrandLabel = Text(*value, "brandLabel");
    const std::optional<uint32_t> serial =
        Number<uint32_t>(*value, "serialNumber", true, 0, UINT32_MAX);
    identity.SerialNumberFound = serial.has_value();
    identity.SerialNumber = serial.value_or(0);
    if (!ok_) return std::nullopt;
    return identity;
  }

  std::nullptr_t Fail(const char* key, const char* what) {
    if (ok_ && why_) *why_ = std::string("record field \"") + key + "\" is " + what;
    ok_ = false;
    return nullptr;
  }

 private:
  std::string* why_;
  bool ok_ = true;
};

// One CSV field: quoted when it holds a separator, a quote or a line end.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string IntText(int64_t value, bool known) {
  return known ? std::to_string(value) : std::string();
}

std::string JoinSectors(const std::vector<int>& sectors) {
  std::string text;
  for (const int sector : sectors) {
    if (!text.empty()) text += ' ';
    text += std::to_string(sector);
  }
  return text;
}

// The CSV columns in their order: the heading and how a record fills it.
struct CsvColumn {
  const char* Heading;
  std::string (*Value)(const JobRecord&);
};

std::string TimeText(const std::optional<RecordTime>& time) {
  return time ? UtcText(*time) : std::string();
}

template <size_t N, bool Written>
std::string IdentityPart(const JobRecord& r) {
  const std::optional<DeviceIdentity>& id = Written ? r.IdentityWritten : r.IdentityBefore;
  if (!id) return {};
  switch (N) {
    case 0:
      return id->ProductName;
    case 1:
      return id->HardwareVersion;
    case 2:
      return IntText(id->SerialNumber, id->SerialNumberFound);
    default:
      return id->BrandLabel;
  }
}

template <RecordPhase P, bool End>
std::string PhasePart(const JobRecord& r) {
  return TimeText(End ? r.Phase(P).Ended : r.Phase(P).Started);
}

const CsvColumn CsvColumns[] = {
    {"schema", [](const JobRecord&) { return std::to_string(RecordSchema); }},
    {"uuid", [](const JobRecord& r) { return r.Uuid; }},
    {"started", [](const JobRecord& r) { return UtcText(r.Started); }},
    {"ended", [](const JobRecord& r) { return UtcText(r.Ended); }},
    {"seconds",
     [](const JobRecord& r) {
       char text[32];
       std::snprintf(text, sizeof text, "%.3f", r.Seconds());
       return std::string(text);
     }},
    {"station", [](const JobRecord& r) { return r.Station; }},
    {"operator", [](const JobRecord& r) { return r.Operator; }},
    {"host", [](const JobRecord& r) { return r.Host; }},
    {"programVersion", [](const JobRecord& r) { return r.ProgramVersion; }},
    {"frontEnd", [](const JobRecord& r) { return std::string(Word(r.FrontEnd)); }},
    {"job", [](const JobRecord& r) { return std::string(Word(r.Job)); }},
    {"port", [](const JobRecord& r) { return r.Port; }},
    {"deviceFile", [](const JobRecord& r) { return r.DeviceFile; }},
    {"adapterName", [](const JobRecord& r) { return r.AdapterName; }},
    {"adapterSerial", [](const JobRecord& r) { return r.AdapterSerial; }},
    {"connectStarted", PhasePart<RecordPhase::Connect, false>},
    {"connectEnded", PhasePart<RecordPhase::Connect, true>},
    {"identifyStarted", PhasePart<RecordPhase::Identify, false>},
    {"identifyEnded", PhasePart<RecordPhase::Identify, true>},
    {"eraseStarted", PhasePart<RecordPhase::Erase, false>},
    {"eraseEnded", PhasePart<RecordPhase::Erase, true>},
    {"programStarted", PhasePart<RecordPhase::Program, false>},
    {"programEnded", PhasePart<RecordPhase::Program, true>},
    {"verifyStarted", PhasePart<RecordPhase::Verify, false>},
    {"verifyEnded", PhasePart<RecordPhase::Verify, true>},
    {"beforeProductName", IdentityPart<0, false>},
    {"beforeHardwareVersion", IdentityPart<1, false>},
    {"beforeSerialNumber", IdentityPart<2, false>},
    {"beforeBrandLabel", IdentityPart<3, false>},
    {"identitySource",
     [](const JobRecord& r) {
       return r.Source == IdentitySource::None ? std::string() : Word(r.Source);
     }},
    {"writtenProductName", IdentityPart<0, true>},
    {"writtenHardwareVersion", IdentityPart<1, true>},
    {"writtenSerialNumber", IdentityPart<2, true>},
    {"writtenBrandLabel", IdentityPart<3, true>},
    {"forcedIdentity",
     [](const JobRecord& r) { return std::string(r.ForcedIdentity ? "1" : "0"); }},
    {"imagePath", [](const JobRecord& r) { return r.Image ? r.Image->Path : std::string(); }},
    {"imageSize",
     [](const JobRecord& r) { return r.Image ? std::to_string(r.Image->Size) : std::string(); }},
    {"imageSha256", [](const JobRecord& r) { return r.Image ? r.Image->Sha256 : std::string(); }},
    {"imageProductName",
     [](const JobRecord& r) { return r.Image ? r.Image->ProductName : std::string(); }},
    {"imageHardwareVersion",
     [](const JobRecord& r) { return r.Image ? r.Image->HardwareVersion : std::string(); }},
    {"imageFirmwareVersion",
     [](const JobRecord& r) { return r.Image ? r.Image->FirmwareVersion : std::string(); }},
    {"imageSectors",
     [](const JobRecord& r) { return r.Image ? JoinSectors(r.Image->Sectors) : std::string(); }},
    {"verify", [](const JobRecord& r) { return std::string(Word(r.Verify)); }},
    {"verifyAddress",
     [](const JobRecord& r) {
       return IntText(r.VerifyAddress, r.Verify == VerifyState::Mismatch && r.VerifyAddress >= 0);
     }},
    {"verifyWritten",
     [](const JobRecord& r) {
       return IntText(r.VerifyWritten, r.Verify == VerifyState::Mismatch && r.VerifyWritten >= 0);
     }},
    {"verifyRead",
     [](const JobRecord& r) {
       return IntText(r.VerifyRead, r.Verify == VerifyState::Mismatch && r.VerifyRead >= 0);
     }},
    {"flashTouched", [](const JobRecord& r) { return std::string(r.FlashTouched ? "1" : "0"); }},
    {"outcome", [](const JobRecord& r) { return std::string(Word(r.Outcome)); }},
    {"failureCause", [](const JobRecord& r) { return r.FailureCause; }},
    {"failureReason", [](const JobRecord& r) { return r.FailureReason; }},
    {"exitCode",
     [](const JobRecord& r) { return IntText(r.ExitCode.value_or(0), r.ExitCode.has_value()); }},
};

bool ReadDigits(std::string_view text, size_t& at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += count;
  return true;
}

bool Expect(std::string_view text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

}  // namespace

const char* Word(RecordFrontEnd value) {
  return FrontEnds.Of(value);
}
const char* Word(RecordJob value) {
  return Jobs.Of(value);
}
const char* Word(RecordPhase value) {
  return Phases.Of(value);
}
const char* Word(IdentitySource value) {
  return Sources.Of(value);
}
const char* Word(VerifyState value) {
  return Verifies.Of(value);
}
const char* Word(RecordOutcome value) {
  return Outcomes.Of(value);
}
std::optional<RecordOutcome> OutcomeFromWord(std::string_view word) {
  return Outcomes.From(word);
}
std::optional<RecordJob> JobFromWord(std::string_view word) {
  return Jobs.From(word);
}

double JobRecord::Seconds() const {
  return std::chrono::duration<double>(Ended - Started).count();
}

const DeviceIdentity* JobRecord::Board() const {
  if (IdentityWritten) return &*IdentityWritten;
  if (IdentityBefore) return &*IdentityBefore;
  return nullptr;
}

std::string NewUuid() {
  // One generator per thread, seeded once from the system's randomness:
  // several ports finish their jobs at once.
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < bytes.size(); i += 8) {
    const uint64_t word = generator();
    for (size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += Hex[bytes[i] >> 4];
    text += Hex[bytes[i] & 0xF];
  }
  return text;
}

std::string UtcText(RecordTime time) {
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

std::optional<RecordTime> ParseUtcText(std::string_view text) {
  using namespace std::chrono;
  size_t at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (!ReadDigits(text, at, 4, year) || !Expect(text, at, '-') || !ReadDigits(text, at, 2, month) ||
      !Expect(text, at, '-') || !ReadDigits(text, at, 2, day)) {
    return std::nullopt;
  }
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    ++at;
    if (!ReadDigits(text, at, 2, hour) || !Expect(text, at, ':') ||
        !ReadDigits(text, at, 2, minute)) {
      return std::nullopt;
    }
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!ReadDigits(text, at, 2, second)) return std::nullopt;
      if (at < text.size() && text[at] == '.') {
        ++at;
        if (!ReadDigits(text, at, 3, millis)) return std::nullopt;
      }
    }
    if (at < text.size() && text[at] == 'Z') ++at;
  }
  if (at != text.size()) return std::nullopt;
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return sys_days(date) + hours(hour) + minutes(minute) + seconds(second) + milliseconds(millis);
}

nlohmann::ordered_json RecordToJson(const JobRecord& record) {
  Json phases = Json::object();
  for (size_t i = 0; i < RecordPhaseCount; ++i) {
    const PhaseSpan& span = record.Phases[i];
    phases[Word(static_cast<RecordPhase>(i))] =
        span.Started || span.Ended
            ? Json{{"started", TimeOrNull(span.Started)}, {"ended", TimeOrNull(span.Ended)}}
            : Json(nullptr);
  }
  Json image = nullptr;
  if (record.Image) {
    const RecordImage& i = *record.Image;
    image = Json{
        {"path", i.Path},
        {"size", i.Size},
        {"sha256", OrNull(i.Sha256)},
        {"productName", OrNull(i.ProductName)},
        {"hardwareVersion", OrNull(i.HardwareVersion)},
        {"firmwareVersion", OrNull(i.FirmwareVersion)},
        {"sectors", i.Sectors},
    };
  }
  Json verify{{"result", Word(record.Verify)}};
  if (record.Verify == VerifyState::Mismatch) {
    verify["address"] = record.VerifyAddress;
    verify["written"] = record.VerifyWritten;
    verify["read"] = record.VerifyRead;
    verify["sector"] = record.VerifySector >= 0 ? Json(record.VerifySector) : Json(nullptr);
  }
  Json failure = nullptr;
  if (record.Outcome != RecordOutcome::Ok) {
    failure = Json{{"cause", OrNull(record.FailureCause)}, {"reason", record.FailureReason}};
  }
  return Json{
      {"schema", RecordSchema},
      {"uuid", record.Uuid},
      {"station", record.Station},
      {"operator", record.Operator},
      {"host", record.Host},
      {"programVersion", record.ProgramVersion},
      {"frontEnd", Word(record.FrontEnd)},
      {"job", Word(record.Job)},
      {"port", record.Port},
      {"deviceFile", record.DeviceFile},
      {"adapter", record.AdapterName.empty() && record.AdapterSerial.empty()
                      ? Json(nullptr)
                      : Json{{"name", OrNull(record.AdapterName)},
                             {"usbSerial", OrNull(record.AdapterSerial)}}},
      {"started", UtcText(record.Started)},
      {"ended", UtcText(record.Ended)},
      {"seconds", std::round(record.Seconds() * 1000) / 1000},
      {"phases", phases},
      {"identityBefore", IdentityJson(record.IdentityBefore)},
      {"identitySource",
       record.Source == IdentitySource::None ? Json(nullptr) : Json(Word(record.Source))},
      {"identityWritten", IdentityJson(record.IdentityWritten)},
      {"forcedIdentity", record.ForcedIdentity},
      {"image", image},
      {"verify", verify},
      {"flashTouched", record.FlashTouched},
      {"outcome", Word(record.Outcome)},
      {"failure", failure},
      {"exitCode", record.ExitCode ? Json(*record.ExitCode) : Json(nullptr)},
  };
}

std::optional<JobRecord> RecordFromJson(const nlohmann::json& json, std::string* why) {
  Reader in(why);
  JobRecord r;
  const std::optional<int> schema = in.Number<int>(json, "schema", false, 1, INT32_MAX);
  if (schema && *schema > RecordSchema) {
    if (why) {
      *why = "the record has schema " + std::to_string(*schema) +
             ", newer than this program knows (" + std::to_string(RecordSchema) + ")";
    }
    return std::nullopt;
  }
  r.Uuid = in.Text(json, "uuid");
  r.Station = in.Text(json, "station");
  r.Operator = in.Text(json, "operator");
  r.Host = in.Text(json, "host");
  r.ProgramVersion = in.Text(json, "programVersion");
  r.FrontEnd = in.Word(json, "frontEnd", FrontEnds, RecordFrontEnd::Cli);
  r.Job = in.Word(json, "job", Jobs, RecordJob::Update);
  r.Port = in.Text(json, "port");
  r.DeviceFile = in.Text(json, "deviceFile");
  if (const nlohmann::json* adapter = in.Field(json, "adapter", true)) {
    r.AdapterName = in.Text(*adapter, "name", true);
    r.AdapterSerial = in.Text(*adapter, "usbSerial", true);
  }
  r.Started = in.Time(json, "started", false).value_or(RecordTime{});
  r.Ended = in.Time(json, "ended", false).value_or(RecordTime{});
  if (const nlohmann::json* phases = in.Field(json, "phases", false)) {
    for (size_t i = 0; i < RecordPhaseCount; ++i) {
      const nlohmann::json* span = in.Field(*phases, Word(static_cast<RecordPhase>(i)), true);
      if (!span) continue;
      r.Phases[i].Started = in.Time(*span, "started", true);
      r.Phases[i].Ended = in.Time(*span, "ended", true);
    }
  }
  r.IdentityBefore = in.Identity(json, "identityBefore");
  if (in.Field(json, "identitySource", true)) {
    r.Source = in.Word(json, "identitySource", Sources, IdentitySource::None);
  }
  r.IdentityWritten = in.Identity(json, "identityWritten");
  r.ForcedIdentity = in.Flag(json, "forcedIdentity");
  if (const nlohmann::json* image = in.Field(json, "image", true)) {
    RecordImage i;
    i.Path = in.Text(*image, "path");
    i.Size = in.Number<int64_t>(*image, "size", false, 0, INT64_MAX).value_or(0);
    i.Sha256 = in.Text(*image, "sha256", true);
    i.ProductName = in.Text(*image, "productName", true);
    i.HardwareVersion = in.Text(*image, "hardwareVersion", true);
    i.FirmwareVersion = in.Text(*image, "firmwareVersion", true);
    if (const nlohmann::json* sectors = in.Field(*image, "sectors", false)) {
      if (!sectors->is_array()) in.Fail("sectors", "not a list");
      for (const nlohmann::json& sector : in.Ok() ? *sectors : nlohmann::json::array()) {
        if (!sector.is_number_integer()) {
          in.Fail("sectors", "not a list of numbers");
          break;
        }
        i.Sectors.push_back(sector.get<int>());
      }
    }
    r.Image = std::move(i);
  }
  if (const nlohmann::json* verify = in.Field(json, "verify", false)) {
    r.Verify = in.Word(*verify, "result", Verifies, VerifyState::NotRun);
    if (in.Ok() && r.Verify == VerifyState::Mismatch) {
      r.VerifyAddress = in.Number<int64_t>(*verify, "address", false, 0, INT64_MAX).value_or(-1);
      r.VerifyWritten = in.Number<int>(*verify, "written", false, 0, 255).value_or(-1);
      r.VerifyRead = in.Number<int>(*verify, "read", false, 0, 255).value_or(-1);
      r.VerifySector = in.Number<int>(*verify, "sector", true, 0, INT32_MAX).value_or(-1);
    }
  }
  r.FlashTouched = in.Flag(json, "flashTouched");
  r.Outcome = in.Word(json, "outcome", Outcomes, RecordOutcome::Ok);
  if (const nlohmann::json* failure = in.Field(json, "failure", true)) {
    r.FailureCause = in.Text(*failure, "cause", true);
    r.FailureReason = in.Text(*failure, "reason");
  }
  r.ExitCode = in.Number<int>(json, "exitCode", true, INT32_MIN, INT32_MAX);
  if (!in.Ok()) return std::nullopt;
  return r;
}

std::string RecordJsonText(const JobRecord& record) {
  return RecordToJson(record).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string RecordCsvHeader() {
  std::string line;
  for (const CsvColumn& column : CsvColumns) {
    if (!line.empty()) line += ',';
    line += column.Heading;
  }
  return line + "\r\n";
}

std::string RecordCsvLine(const JobRecord& record) {
  std::string line;
  bool first = true;
  for (const CsvColumn& column : CsvColumns) {
    if (!first) line += ',';
    first = false;
    line += CsvField(column.Value(record));
  }
  return line + "\r\n";
}

std::string DescribeBoard(const DeviceIdentity& identity) {
  std::string text = identity.ProductName + ", hardware " + identity.HardwareVersion;
  text += identity.SerialNumberFound ? ", serial " + std::to_string(identity.SerialNumber)
                                     : std::string(", no serial number");
  if (!identity.BrandLabel.empty()) text += ", brand label " + identity.BrandLabel;
  return text;
}
