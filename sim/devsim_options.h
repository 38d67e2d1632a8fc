// The command line of devsim, parsed into settings; kept apart from main so
// that it can be tested.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "boards.h"
#include "image_builder.h"

namespace sim {

struct DevsimSettings {
  std::string LoaderPath = "Loader.hex";
  std::string RoutinePath = "F29f160d.hex";
  std::string FlashPath;  // empty: the flash lives only as long as the run
  // Each board's flash is written here as board-<n>.bin when it powers down.
  std::string FlashDir;
  std::optional<std::array<uint8_t, 2>> Message;
  std::string LinkPath;
  std::string TranscriptPath;
  bool ClearFaultsOnPowerCycle = false;
  bool PowerCycleOnClose = false;
  std::optional<uint64_t> NextBoardAfterStartBytes;
  std::chrono::milliseconds ReplugPause{1000};
  uint32_t AdapterPieces = 0;
  // The board of a run without --board, and what each --board starts from.
  BoardSettings Board;
  // Boards in turn, one per power cycle; empty: the board above, kept.
  std::vector<BoardSettings> Boards;
};

struct MakeImageSettings {
  std::string OutPath;
  ImageOptions Options;
};

enum class DevsimCommand { PlayDevice, MakeImage };

struct DevsimCommandLine {
  DevsimCommand Command = DevsimCommand::PlayDevice;
  DevsimSettings Device;
  MakeImageSettings Image;
  // Set when help was asked for: the text to print, and nothing else to do.
  std::optional<std::string> Help;
};

// `args` excludes the program name. False with `error` set on an unknown
// option, a bad value or a board file that cannot be read.
bool ParseDevsimCommandLine(const std::vector<std::string>& args, DevsimCommandLine& line,
                            std::string* error);

// A board as --board describes it: the board options without their "--",
// separated by blanks, e.g. "serial=4712 flip-bit=3:100" or "no-identity";
// each changes `defaults`.
bool ParseBoard(const std::string& description, const BoardSettings& defaults, BoardSettings& board,
                std::string* error);

}  // namespace sim
