#include "devsim_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace sim {

namespace {

constexpr uint64_t MaxFloodBytes = 1024ull * 1024 * 1024;
constexpr uint64_t MaxBitRate = 100'000'000;
constexpr uint64_t MaxReplugPauseMs = 3'600'000;
constexpr uint64_t MaxAdapterPieces = 4096;
constexpr uint64_t MaxEraseMs = 600'000;

const char* const Description =
    R"(devsim plays the device on a pseudo-terminal and prints "devsim: port /dev/pts/N".
Point the program at that port (UPDATER_COM1=/dev/pts/N, or --link). The
device waits in its bootstrap loader for the start byte 0x00, answers 0xD5,
takes 32 loader bytes and the flash routine and checks both against the upload
files; then the flash routine hands over its sector table and takes commands.
"devsim make-image" writes a firmware image file instead.)";

const char* const Footer =
    R"(Signals: SIGUSR1 power-cycles the device (flash kept; with --board, the next
board is on the line instead). SIGUSR2 pulls the adapter and plugs it back in
after --replug-pause: the program's port hangs up, a new pseudo-terminal takes
the --link. SIGINT or SIGTERM end the run and save the flash.

Boards in turn: each --board (or line of --boards FILE) is one board; the
first is on the line at the start, each power cycle puts the next one there,
and after the last the line stays empty. A board is described by the board
options above without their "--", separated by blanks, each changing what the
options outside --board give:
  --board "serial=4712" --board "serial=4713 no-identity" --board absent
Only in a board: "absent" (no board in this turn: nothing answers until the
next power cycle), "same" (the board before again, its flash as it was left)
and "replug" (the adapter is pulled as this board is put on the line and
plugged back in after the pause).)";

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value,
                   bool sizeSuffix = false) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
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
  value = parsed * unit;
  return true;
}

using Apply = std::function<bool(const std::string&)>;

// An option whose value `apply` takes in; false refuses the value. Every
// option acts when it is met, so the command line reads left to right: the
// last of two values wins, a repeated option adds one more.
CLI::Option* Value(CLI::App& app, const std::string& name, const std::string& typeName,
                   const std::string& help, Apply apply) {
  return app
      .add_option_function<std::string>(
          name,
          [name, apply](const std::string& v) {
            if (!apply(v)) throw CLI::ValidationError(name, "bad value \"" + v + "\"");
          },
          help)
      ->type_name(typeName)
      ->trigger_on_parse();
}

CLI::Option* Flag(CLI::App& app, const std::string& name, const std::string& help,
                  std::function<void()> action) {
  return app.add_flag_callback(name, std::move(action), help)->trigger_on_parse();
}

Apply Text(std::optional<std::string>& target) {
  return [&target](const std::string& v) {
    if (v.size() > 255) return false;
    target = v;
    return true;
  };
}

Apply Path(std::string& target) {
  return [&target](const std::string& v) {
    target = v;
    return !v.empty();
  };
}

Apply Count(std::optional<uint64_t>& target) {
  return [&target](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, UINT64_MAX, n)) return false;
    target = n;
    return true;
  };
}

// The options that describe one board: its identity and flash, its faults
// and the line's rate. `inSequence` adds those that only a --board has.
void AddBoardOptions(CLI::App& app, BoardSettings& board, bool inSequence) {
  DeviceIdentity& identity = board.Identity;
  Faults& faults = board.Faults;
  const std::string device = "Device";
  const std::string faultGroup = "Faults (byte counts run from the last power-up)";
  Value(app, "--product", "TEXT", "PRODUKTNAME of the identity block at 0x004000 (DEMO165)",
        Text(identity.ProductName))
      ->group(device);
  Value(app, "--hwver", "TEXT", "HARDWAREVER (1.0a)", Text(identity.HardwareVersion))
      ->group(device);
  Value(app, "--serial", "N", "SERIAL_NO (4711)", [&identity](const std::string& v) {
    uint64_t n = 0;
    if (!ParseUnsigned(v, UINT32_MAX, n)) return false;
    identity.SerialNumber = static_cast<uint32_t>(n);
    return true;
  })->group(device);
  Value(app, "--brand", "TEXT", "BRANDLABEL (none)", Text(identity.BrandLabel))->group(device);
  Flag(app, "--no-product", "leave the PRODUKTNAME record out of the identity block", [&identity] {
    identity.ProductName.reset();
  })->group(device);
  Flag(app, "--no-hwver", "leave the HARDWAREVER record out", [&identity] {
    identity.HardwareVersion.reset();
  })->group(device);
  Flag(app, "--no-serial", "leave the SERIAL_NO record out", [&identity] {
    identity.SerialNumber.reset();
  })->group(device);
  Flag(app, "--no-identity",
       "a new board: the whole identity block at 0x004000 erased (0xFF, 4096 bytes)",
       [&board] { board.NoIdentity = true; })
      ->group(device);
  Value(app, "--pattern", "LIST",
        "sectors filled with the test pattern (8,9); \"none\" for none; LIST as 0,1,2 or 0-3,8",
        [&board](const std::string& v) {
          board.PatternSectors.clear();
          if (v == "none") return true;
          std::vector<uint8_t> sectors;
          if (!ParseSectorList(v, sectors, nullptr)) return false;
          for (const uint8_t s : sectors) {
            if (s >= SectorCount) return false;
            board.PatternSectors.push_back(s);
          }
          return true;
        })
      ->group(device);
  if (inSequence) {
    Flag(app, "--absent", "no board on the line: nothing answers until the next power cycle",
         [&board] { board.Absent = true; });
    Flag(app, "--same", "the board before again, with its flash as it was left",
         [&board] { board.SameAsBefore = true; });
    Flag(app, "--replug", "the adapter is pulled as this board is put on the line",
         [&board] { board.Replug = true; });
  }
  Value(app, "--baud", "B",
        "the line's rate: the device's replies go out and the program's bytes are taken at B "
        "bit/s, 10 bits per byte (38400 as a real line; default: at once)",
        [&faults](const std::string& v) {
          uint64_t n = 0;
          if (!ParseUnsigned(v, MaxBitRate, n)) return false;
          faults.BitRate = faults.InputBitRate = static_cast<uint32_t>(n);
          return true;
        })
      ->group(device);

  Value(app, "--silent-after-sent", "N", "fall silent after sending N bytes",
        Count(faults.SilentAfterSent))
      ->group(faultGroup);
  Value(app, "--silent-after-received", "N", "fall silent after receiving N bytes",
        Count(faults.SilentAfterReceived))
      ->group(faultGroup);
  Value(app, "--stray", "N:V", "send the byte V after N bytes sent (repeatable)",
        [&faults](const std::string& v) {
          const auto colon = v.find(':');
          uint64_t after = 0;
          uint64_t value = 0;
          if (colon == std::string::npos || !ParseUnsigned(v.substr(0, colon), UINT64_MAX, after) ||
              !ParseUnsigned(v.substr(colon + 1), 255, value)) {
            return false;
          }
          faults.Strays.push_back({after, static_cast<uint8_t>(value)});
          return true;
        })
      ->group(faultGroup);
  Value(app, "--fail-sector", "S", "programming of sector S fails with \"d\" (repeatable)",
        [&faults](const std::string& v) {
          uint64_t sector = 0;
          if (!ParseUnsigned(v, SectorCount - 1, sector)) return false;
          faults.FailingSectors.insert(static_cast<int>(sector));
          return true;
        })
      ->group(faultGroup);
  Value(app, "--count", "N", "count byte N of the sector table (34)",
        [&faults](const std::string& v) {
          uint64_t n = 0;
          if (!ParseUnsigned(v, 255, n)) return false;
          faults.TableCount = static_cast<uint8_t>(n);
          return true;
        })
      ->group(faultGroup);
  Value(app, "--hangup-after-sent", "N", "close the line (wire pulled) after N bytes sent",
        Count(faults.HangUpAfterSent))
      ->group(faultGroup);
  Value(app, "--hangup-after-received", "N", "close the line after N bytes received",
        Count(faults.HangUpAfterReceived))
      ->group(faultGroup);
  Value(app, "--flip-bit", "S[:OFFSET[:BIT]]",
        "programming sector S turns bit BIT (0) of the byte at OFFSET (0) in the sector over; the "
        "sector is still reported as programmed, so only a read-back finds it (repeatable)",
        [&faults](const std::string& v) {
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
          if (parts.size() > 1 &&
              !ParseUnsigned(parts[1], SectorSize(static_cast<int>(sector)) - 1, offset)) {
            return false;
          }
          if (parts.size() > 2 && !ParseUnsigned(parts[2], 7, bit)) return false;
          faults.BitFlips.push_back(
              {static_cast<int>(sector), static_cast<uint32_t>(offset), static_cast<uint8_t>(bit)});
          return true;
        })
      ->group(faultGroup);
  struct StopOption {
    const char* Name;
    StopPhase Phase;
    const char* Help;
  };
  const StopOption stops[] = {
      {"erase", StopPhase::Erase, "erase sector S, then fall silent before its \"b\""},
      {"program", StopPhase::Program, "program the first half of sector S, then fall silent"},
      {"read", StopPhase::Read,
       "fall silent instead of sending a word once N words were sent for read-sector commands "
       "(\"2\"); counted over all sectors read since power-up"},
  };
  for (const StopOption& stop : stops) {
    for (const bool hangUp : {false, true}) {
      const std::string name = std::string(hangUp ? "--hangup-in-" : "--silent-in-") + stop.Name;
      const std::string help = hangUp ? std::string("the same as --silent-in-") + stop.Name +
                                            ", but the line closes (wire pulled)"
                                      : std::string(stop.Help);
      const StopPhase phase = stop.Phase;
      Value(app, name, phase == StopPhase::Read ? "N" : "S", help,
            [&faults, phase, hangUp](const std::string& v) {
              uint64_t n = 0;
              const uint64_t max = phase == StopPhase::Read ? UINT64_MAX : SectorCount - 1;
              if (!ParseUnsigned(v, max, n)) return false;
              faults.Stops.push_back({phase, n, hangUp});
              return true;
            })
          ->group(faultGroup);
    }
  }
  Value(app, "--erase-ms", "N",
        "every sector erase takes N ms before its \"b\" (a 29F160D may take up to 15 s for a 64 "
        "KiB sector; default: at once)",
        [&faults](const std::string& v) {
          uint64_t n = 0;
          if (!ParseUnsigned(v, MaxEraseMs, n)) return false;
          faults.EraseMs = static_cast<uint32_t>(n);
          return true;
        })
      ->group(faultGroup);
  Value(app, "--flood-h", "BYTES",
        "send BYTES (K and M allowed) of \"h\" messages, two counting digits each, after the "
        "sector table and before the routine's first \"a\"",
        [&faults](const std::string& v) {
          return ParseUnsigned(v, MaxFloodBytes, faults.FloodBytes, true);
        })
      ->group(faultGroup);
}

void AddMakeImageOptions(CLI::App& app, MakeImageSettings& settings) {
  ImageOptions& options = settings.Options;
  auto text = [](std::string& target) -> Apply {
    return [&target](const std::string& v) {
      target = v;
      return v.size() <= 255;
    };
  };
  Value(app, "--out", "FILE", "the image file to write (required)", Path(settings.OutPath))
      ->required();
  Value(app, "--size", "N",
        "image size in bytes, K and M allowed (64K); above 2M it cannot fit the flash: for trying "
        "refusals (at most 16M)",
        [&options](const std::string& v) {
          uint64_t n = 0;
          // Larger than the flash only to try how a program refuses such an image.
          if (!ParseUnsigned(v, MaxImageSize, n, true)) return false;
          options.Size = static_cast<uint32_t>(n);
          return true;
        });
  Value(app, "--product", "TEXT", "PRODUKTNAME (DEMO165)", text(options.ProductName));
  Value(app, "--hwver", "TEXT", "HARDWAREVER (1.0b)", text(options.HardwareVersion));
  Value(app, "--fwver", "TEXT", "FIRMWAREVER (2.00)", text(options.FirmwareVersion));
  auto sectorList = [](std::optional<std::vector<uint8_t>>& target) -> Apply {
    return [&target](const std::string& v) {
      std::vector<uint8_t> sectors;
      if (v != "none" && !ParseSectorList(v, sectors, nullptr)) return false;
      target = std::move(sectors);
      return true;
    };
  };
  Value(app, "--sectors", "LIST",
        "SOFTWARESNR sector list, e.g. 0,1,2 or 0-34, 3,3,0,1 or up to 255, or none for an empty "
        "list (default: the sectors the image covers from address 0)",
        sectorList(options.Sectors));
  Value(app, "--second-sectors", "LIST", "a second SOFTWARESNR record after the first",
        sectorList(options.SecondSectors));
  Flag(app, "--no-serial", "leave the SERIAL_NO record out of the identity block",
       [&options] { options.SerialRecord = false; });
  Value(app, "--identity-offset", "P", "identity block offset stored at 8192 (16384)",
        [&options](const std::string& v) {
          uint64_t n = 0;
          if (!ParseUnsigned(v, UINT32_MAX, n)) return false;
          options.IdentityOffset = static_cast<uint32_t>(n);
          return true;
        });
  Value(app, "--seed", "N", "seed of the pseudo-random content (1)",
        [&options](const std::string& v) { return ParseUnsigned(v, UINT64_MAX, options.Seed); });
}

// CLI11 takes the arguments last first.
void ParseInto(CLI::App& app, const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  app.parse(reversed);
}

void Format(CLI::App& app) {
  app.get_formatter()->column_width(34);
}

bool ReadBoardsFile(const std::string& path, std::vector<std::string>& boards, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "--boards " + path + ": " + std::strerror(errno);
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t\r") != std::string::npos) boards.push_back(line);
  }
  if (in.bad()) {
    if (error) *error = "--boards " + path + ": read error";
    return false;
  }
  return true;
}

}  // namespace

bool ParseBoard(const std::string& description, const BoardSettings& defaults, BoardSettings& board,
                std::string* error) {
  board = defaults;
  CLI::App app;
  app.set_help_flag();
  AddBoardOptions(app, board, true);
  std::vector<std::string> args;
  std::istringstream tokens(description);
  for (std::string token; tokens >> token;) {
    if (!token.starts_with("--")) token = "--" + token;
    args.push_back(token);
  }
  try {
    ParseInto(app, args);
  } catch (const CLI::ParseError& e) {
    if (error) *error = e.what();
    return false;
  }
  return true;
}

bool ParseDevsimCommandLine(const std::vector<std::string>& args, DevsimCommandLine& line,
                            std::string* error) {
  DevsimSettings& device = line.Device;
  CLI::App app(Description, "devsim");
  Format(app);
  app.footer(Footer);
  app.require_subcommand(0, 1);
  const std::string run = "Run";
  Value(app, "--loader", "FILE", "loader file the program uploads (Loader.hex)",
        Path(device.LoaderPath))
      ->group(run);
  Value(app, "--routine", "FILE", "flash routine file the program uploads (F29f160d.hex)",
        Path(device.RoutinePath))
      ->group(run);
  Value(app, "--flash", "FILE",
        "raw 2 MiB flash content: loaded when the file exists, saved on exit; otherwise built from "
        "the device options",
        Path(device.FlashPath))
      ->group(run);
  Value(app, "--message", "XY", "send \"h\" X Y just before the routine's first \"a\"",
        [&device](const std::string& v) {
          if (v.size() != 2) return false;
          device.Message = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1])};
          return true;
        })
      ->group(run);
  Value(app, "--link", "PATH",
        "symbolic link to the port, removed on exit; it follows the port when the adapter is "
        "plugged back in",
        Path(device.LinkPath))
      ->group(run);
  Value(app, "--transcript", "FILE", "record the bytes in both directions",
        Path(device.TranscriptPath))
      ->group(run);
  Flag(app, "--clear-faults-on-power-cycle", "a power cycle (SIGUSR1) also clears the faults",
       [&device] { device.ClearFaultsOnPowerCycle = true; })
      ->group(run);
  Flag(app, "--power-cycle-on-close",
       "power up again (a power cycle, or the next board) whenever the program closes the port, "
       "as unplugging and plugging back a board's wire and power would",
       [&device] { device.PowerCycleOnClose = true; })
      ->group(run);
  Value(app, "--replug-pause", "MS",
        "how long a pulled adapter stays out before it is plugged back in (1000)",
        [&device](const std::string& v) {
          uint64_t ms = 0;
          if (!ParseUnsigned(v, MaxReplugPauseMs, ms)) return false;
          device.ReplugPause = std::chrono::milliseconds(ms);
          return true;
        })
      ->group(run);
  Value(app, "--adapter-pieces", "N",
        "with --baud: the device's bytes reach the program in pieces of up to N, each once its "
        "last byte is through, as a USB adapter hands them over (default: byte by byte)",
        [&device](const std::string& v) {
          uint64_t bytes = 0;
          if (!ParseUnsigned(v, MaxAdapterPieces, bytes)) return false;
          device.AdapterPieces = static_cast<uint32_t>(bytes);
          return true;
        })
      ->group(run);

  const std::string boards = "Boards in turn";
  std::vector<std::string> boardDescriptions;
  std::string boardsFile;
  Value(app, "--board", "\"OPTIONS\"",
        "one more board, put on the line at a power cycle (repeatable; see below)",
        [&boardDescriptions](const std::string& v) {
          boardDescriptions.push_back(v);
          return true;
        })
      ->group(boards);
  Value(app, "--boards", "FILE",
        "the boards from FILE, one per line as --board takes them; # starts a comment",
        Path(boardsFile))
      ->group(boards);
  Value(app, "--flash-dir", "DIR",
        "write each board's flash to DIR/board-<n>.bin (n from 1) when it powers down: at a power "
        "cycle and at the end of the run",
        Path(device.FlashDir))
      ->group(boards);
  Value(app, "--next-board-after", "N",
        "the next board (a power cycle) after N start bytes in a row that no loader answered: the "
        "operator swaps boards while a station waits",
        [&device](const std::string& v) {
          uint64_t n = 0;
          if (!ParseUnsigned(v, UINT64_MAX, n) || n == 0) return false;
          device.NextBoardAfterStartBytes = n;
          return true;
        })
      ->group(boards);
  AddBoardOptions(app, device.Board, false);

  CLI::App* makeImage =
      app.add_subcommand("make-image",
                         "write a firmware image file with the identity block and window the "
                         "programs expect, around pseudo-random content");
  Format(*makeImage);
  makeImage->footer("");
  AddMakeImageOptions(*makeImage, line.Image);

  try {
    ParseInto(app, args);
  } catch (const CLI::CallForHelp&) {
    line.Help = app.help();
    return true;
  } catch (const CLI::ParseError& e) {
    if (error) *error = e.what();
    return false;
  }
  line.Command = makeImage->parsed() ? DevsimCommand::MakeImage : DevsimCommand::PlayDevice;
  if (!boardsFile.empty() && !ReadBoardsFile(boardsFile, boardDescriptions, error)) return false;
  for (std::size_t i = 0; i < boardDescriptions.size(); ++i) {
    BoardSettings board;
    std::string why;
    if (!ParseBoard(boardDescriptions[i], device.Board, board, &why)) {
      if (error) *error = "board " + std::to_string(i + 1) + ": " + why;
      return false;
    }
    if (i == 0 && (board.SameAsBefore || board.Replug)) {
      if (error) *error = "board 1: \"same\" and \"replug\" need a board before it";
      return false;
    }
    device.Boards.push_back(std::move(board));
  }
  if (!device.Boards.empty() && !device.FlashPath.empty()) {
    if (error) *error = "--flash is for one board; with --board, keep the flashes with --flash-dir";
    return false;
  }
  return true;
}

}  // namespace sim
