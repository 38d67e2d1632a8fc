#include "devsim_options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

const char* const DevsimUsage =
    R"(usage: devsim [options]              play the device on a pseudo-terminal
       devsim make-image [options]   write a firmware image file

devsim opens a pseudo-terminal and prints "devsim: port /dev/pts/N". Point the
program at that port (UPDATER_COM1=/dev/pts/N, or --link). The device waits
in its bootstrap loader for the start byte 0x00, answers 0xD5, takes 32
loader bytes and the flash routine and checks both against the upload files;
then the flash routine hands over its sector table and takes commands.
SIGUSR1 power-cycles the device (flash kept); SIGINT or SIGTERM end the run
and save the flash.

Device:
  --loader FILE              loader file the program uploads (Loader.hex)
  --routine FILE             flash routine file the program uploads (F29f160d.hex)
  --flash FILE               raw 2 MiB flash content: loaded when the file exists,
                             saved on exit; otherwise built from the options below
  --product TEXT             PRODUKTNAME of the identity block at 0x004000 (DEMO165)
  --hwver TEXT               HARDWAREVER (1.0a)
  --serial N                 SERIAL_NO (4711)
  --brand TEXT               BRANDLABEL (none)
  --no-product, --no-hwver, --no-serial
                             leave that record out of the identity block
  --pattern LIST             sectors filled with the test pattern (8,9);
                             "none" for none; LIST as 0,1,2 or 0-3,8
  --message XY               send "h" X Y just before the routine's first "a"
  --link PATH                symbolic link to the port, removed on exit
  --transcript FILE          record the bytes in both directions
  --clear-faults-on-power-cycle
                             a power cycle (SIGUSR1) also clears the faults

Faults (byte counts run from the last power-up):
  --silent-after-sent N      fall silent after sending N bytes
  --silent-after-received N  fall silent after receiving N bytes
  --stray N:V                send the byte V after N bytes sent (repeatable)
  --fail-sector S            programming of sector S fails with "d" (repeatable)
  --count N                  count byte N of the sector table (34)
  --baud B                   pace the output at B bit/s, 10 bits per byte
  --hangup-after-sent N      close the line (wire pulled) after N bytes sent
  --hangup-after-received N  close the line after N bytes received
  --flip-bit S[:OFFSET[:BIT]]
                             programming sector S turns bit BIT (0) of the byte
                             at OFFSET (0) in the sector over; the sector is
                             still reported as programmed, so only a read-back
                             finds it (repeatable)
  --silent-in-erase S        erase sector S, then fall silent before its "b"
  --silent-in-program S      program the first half of sector S, then fall silent
  --silent-in-read N         fall silent instead of sending a word once N words
                             were sent for read-sector commands ("2"); counted
                             over all sectors read since power-up
  --hangup-in-erase S, --hangup-in-program S, --hangup-in-read N
                             the same, but the line closes (wire pulled)
  --flood-h BYTES            send BYTES (K and M allowed) of "h" messages, two
                             counting digits each, after the sector table and
                             before the routine's first "a"

make-image:
  --out FILE                 the image file to write (required)
  --size N                   image size in bytes, K and M allowed (64K);
                             above 2M it cannot fit the flash: for trying
                             refusals (at most 16M)
  --product TEXT             PRODUKTNAME (DEMO165)
  --hwver TEXT               HARDWAREVER (1.0b)
  --fwver TEXT               FIRMWAREVER (2.00)
  --sectors LIST             SOFTWARESNR sector list, e.g. 0,1,2 or 0-34,
                             3,3,0,1 or up to 255, or none for an empty list
                             (default: the sectors the image covers from
                             address 0)
  --second-sectors LIST      a second SOFTWARESNR record after the first
  --no-serial                leave the SERIAL_NO record out of the identity block
  --identity-offset P        identity block offset stored at 8192 (16384)
  --seed N                   seed of the pseudo-random content (1)

  --help                     this text
)";

namespace {

constexpr uint64_t MaxFloodBytes = 1024ull * 1024 * 1024;

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value,
                   bool sizeSuffix = false) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str()) return false;
  unsigned long long unit = 1;
  if (sizeSuffix && (*end == 'K' || *end == 'k')) {
    unit = 1024;
    ++end;
  } else if (sizeSuffix && (*end == 'M' || *end == 'm')) {
    unit = 1024 * 1024;
    ++end;
  }
  if (*end != '\0' || parsed > max / unit) return false;
  parsed *= unit;
  value = parsed;
  return true;
}

// Walks `args`; each handler gets the option's value (or nothing for flags).
class OptionWalker {
 public:
  using Handler = std::function<bool(const std::string&)>;
  void Flag(const std::string& name, std::function<void()> action) { flags_[name] = action; }
  void Value(const std::string& name, Handler handler) { values_[name] = handler; }

  bool Walk(const std::vector<std::string>& args, std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::string name = args[i];
      std::optional<std::string> value;
      if (const auto eq = name.find('='); eq != std::string::npos && name.starts_with("--")) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      if (const auto flag = flags_.find(name); flag != flags_.end() && !value) {
        flag->second();
        continue;
      }
      const auto handler = values_.find(name);
      if (handler == values_.end()) {
        if (error) *error = "unknown option " + args[i];
        return false;
      }
      if (!value) {
        if (i + 1 >= args.size()) {
          if (error) *error = name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      if (!handler->second(*value)) {
        if (error) *error = "bad value for " + name + ": \"" + *value + "\"";
        return false;
      }
    }
    return true;
  }

 private:
  std::map<std::string, std::function<void()>> flags_;
  std::map<std::string, Handler> values_;
};

}  // namespace

bool ParseDevsimArgs(const std::vector<std::string>& args, DevsimSettings& settings,
                     std::string* error) {
  OptionWalker walker;
  auto text = [](std::optional<std::string>& target) {
    return [&target](const std::string& v) {
      if (v.size() > 255) return false;
      target = v;
      return true;
    };
  };
  auto path = [](std::string& target) {
    return [&target](const std::string& v) {
      target = v;
      return !v.empty();
    };
  };
  auto count = [](std::optional<uint64_t>& target) {
    return [&target](const std::string& v) {
      uint64_t n = 0;
      if (!ParseUnsigned(v, UINT64_MAX, n)) return false;
      target = n;
      return true;
    };
  };
  Faults& faults = settings.InitialFaults;
  DeviceIdentity& identity = settings.Identity;
  walker.Flag("--help", [&] { settings.Help = true; });
  walker.Flag("-h", [&] { settings.Help = true; });
  walker.Flag("--no-product", [&] { identity.ProductName.reset(); });
  walker.Flag("--no-hwver", [&] { identity.HardwareVersion.reset(); });
  walker.Flag("--no-serial", [&] { identity.SerialNumber.reset(); });
  walker.Flag("--clear-faults-on-power-cycle", [&] { settings.ClearFaultsOnPowerCycle = true; });
  walker.Value("--loader", path(settings.LoaderPath));
  walker.Value("--routine", path(settings.RoutinePath));
  walker.Value("--flash", path(settings.FlashPath));
  walker.Value("--link", path(settings.LinkPath));
  walker.Value("--transcript", path(settings.TranscriptPath));
  walker.Value("--product", text(identity.ProductName));
  walker.Value("--hwver", text(identity.HardwareVersion));
  walker.Value("--brand", text(identity.BrandLabel));
  walker.Value("--serial", [&](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, UINT32_MAX, n)) return false;
    identity.SerialNumber = static_cast<uint32_t>(n);
    return true;
  });
  walker.Value("--pattern", [&](const std::string& v) {
    settings.PatternSectors.clear();
    if (v == "none") return true;
    std::vector<uint8_t> sectors;
    if (!ParseSectorList(v, sectors, nullptr)) return false;
    for (const uint8_t s : sectors) {
      if (s >= SectorCount) return false;
      settings.PatternSectors.push_back(s);
    }
    return true;
  });
  walker.Value("--message", [&](const std::string& v) {
    if (v.size() != 2) return false;
    settings.Message = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1])};
    return true;
  });
  walker.Value("--silent-after-sent", count(faults.SilentAfterSent));
  walker.Value("--silent-after-received", count(faults.SilentAfterReceived));
  walker.Value("--hangup-after-sent", count(faults.HangUpAfterSent));
  walker.Value("--hangup-after-received", count(faults.HangUpAfterReceived));
  walker.Value("--stray", [&](const std::string& v) {
    const auto colon = v.find(':');
    uint64_t after = 0;
    uint64_t value = 0;
    if (colon == std::string::npos || !ParseUnsigned(v.substr(0, colon), UINT64_MAX, after) ||
        !ParseUnsigned(v.substr(colon + 1), 255, value)) {
      return false;
    }
    faults.Strays.push_back({after, static_cast<uint8_t>(value)});
    return true;
  });
  walker.Value("--fail-sector", [&](const std::string& v) {
    uint64_t sector = 0;
    if (!ParseUnsigned(v, SectorCount - 1, sector)) return false;
    faults.FailingSectors.insert(static_cast<int>(sector));
    return true;
  });
  walker.Value("--flip-bit", [&](const std::string& v) {
    // SECTOR[:OFFSET[:BIT]]
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
      const auto colon = v.find(':', start);
      parts.push_back(v.substr(start, colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    uint64_t sector = 0;
    uint64_t offset = 0;
    uint64_t bit = 0;
    if (parts.size() > 3 || !ParseUnsigned(parts[0], SectorCount - 1, sector)) return false;
    if (parts.size() > 1 && !ParseUnsigned(parts[1], SectorSize(int(sector)) - 1, offset)) {
      return false;
    }
    if (parts.size() > 2 && !ParseUnsigned(parts[2], 7, bit)) return false;
    faults.BitFlips.push_back(
        {static_cast<int>(sector), static_cast<uint32_t>(offset), static_cast<uint8_t>(bit)});
    return true;
  });
  const std::pair<const char*, StopPhase> stopOptions[] = {
      {"erase", StopPhase::Erase}, {"program", StopPhase::Program}, {"read", StopPhase::Read}};
  for (const auto& stopOption : stopOptions) {
    const StopPhase phase = stopOption.second;
    for (const bool hangUp : {false, true}) {
      const std::string option =
          std::string(hangUp ? "--hangup-in-" : "--silent-in-") + stopOption.first;
      walker.Value(option, [&faults, phase, hangUp](const std::string& v) {
        uint64_t n = 0;
        const uint64_t max = phase == StopPhase::Read ? UINT64_MAX : SectorCount - 1;
        if (!ParseUnsigned(v, max, n)) return false;
        faults.Stops.push_back({phase, n, hangUp});
        return true;
      });
    }
  }
  walker.Value("--flood-h", [&](const std::string& v) {
    return ParseUnsigned(v, MaxFloodBytes, faults.FloodBytes, true);
  });
  walker.Value("--count", [&](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, 255, n)) return false;
    faults.TableCount = static_cast<uint8_t>(n);
    return true;
  });
  walker.Value("--baud", [&](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, 100'000'000, n)) return false;
    faults.BitRate = static_cast<uint32_t>(n);
    return true;
  });
  return walker.Walk(args, error);
}

bool ParseMakeImageArgs(const std::vector<std::string>& args, MakeImageSettings& settings,
                        std::string* error) {
  OptionWalker walker;
  ImageOptions& options = settings.Options;
  auto text = [](std::string& target) {
    return [&target](const std::string& v) {
      target = v;
      return v.size() <= 255;
    };
  };
  walker.Flag("--help", [&] { settings.Help = true; });
  walker.Flag("-h", [&] { settings.Help = true; });
  walker.Value("--out", [&](const std::string& v) {
    settings.OutPath = v;
    return !v.empty();
  });
  walker.Value("--product", text(options.ProductName));
  walker.Value("--hwver", text(options.HardwareVersion));
  walker.Value("--fwver", text(options.FirmwareVersion));
  walker.Value("--size", [&](const std::string& v) {
    uint64_t n = 0;
    // Larger than the flash only to try how a program refuses such an image.
    if (!ParseUnsigned(v, MaxImageSize, n, true)) return false;
    options.Size = static_cast<uint32_t>(n);
    return true;
  });
  walker.Value("--identity-offset", [&](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, UINT32_MAX, n)) return false;
    options.IdentityOffset = static_cast<uint32_t>(n);
    return true;
  });
  walker.Value("--seed", [&](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, UINT64_MAX, n)) return false;
    options.Seed = n;
    return true;
  });
  auto sectorList = [](std::optional<std::vector<uint8_t>>& target) {
    return [&target](const std::string& v) {
      std::vector<uint8_t> sectors;
      if (v != "none" && !ParseSectorList(v, sectors, nullptr)) return false;
      target = std::move(sectors);
      return true;
    };
  };
  walker.Value("--sectors", sectorList(options.Sectors));
  walker.Value("--second-sectors", sectorList(options.SecondSectors));
  walker.Flag("--no-serial", [&] { options.SerialRecord = false; });
  if (!walker.Walk(args, error)) return false;
  if (settings.OutPath.empty() && !settings.Help) {
    if (error) *error = "make-image needs --out FILE";
    return false;
  }
  return true;
}

}  // namespace sim
