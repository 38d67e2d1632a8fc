#include "boards.h"

namespace sim {

Board MakeBoard(const BoardSettings& settings) {
  Board board;
  board.Faults = settings.Faults;
  board.Present = !settings.Absent;
  board.SameAsBefore = settings.SameAsBefore;
  board.Replug = settings.Replug;
  board.Label = BoardLabel(settings);
  if (board.Present && !board.SameAsBefore) {
    board.Memory = MakeFlash(
        settings.NoIdentity ? std::nullopt : std::optional<DeviceIdentity>(settings.Identity),
        settings.PatternSectors);
  }
  return board;
}

std::string BoardLabel(const BoardSettings& settings) {
  if (settings.Absent) return "no board";
  if (settings.SameAsBefore) return "the board before again";
  if (settings.NoIdentity) return "blank";
  if (!settings.Identity.SerialNumber) return "no serial number";
  return "serial " + std::to_string(*settings.Identity.SerialNumber);
}

std::string BoardFlashPath(const std::string& folder, int board) {
  return folder + "/board-" + std::to_string(board) + ".bin";
}

}  // namespace sim
