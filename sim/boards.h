// The boards a run puts on the line, one after another: what each one holds
// and how it misbehaves, as devsim's options and the test rigs describe it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device_model.h"
#include "flash.h"

namespace sim {

// One board as it is described.
struct BoardSettings {
  DeviceIdentity Identity{"DEMO165", "1.0a", 4711u, std::nullopt};
  // A board fresh from production: the identity block is erased.
  bool NoIdentity = false;
  std::vector<int> PatternSectors{8, 9};
  sim::Faults Faults;
  // No board in this turn: nothing answers until the next power cycle.
  bool Absent = false;
  // The last board on the line comes back, with its flash as it was left.
  bool SameAsBefore = false;
  // The adapter is pulled as this board is put on the line, and plugged back
  // after the run's pause (a new port behind the same link).
  bool Replug = false;
};

// One board as the device puts it on the line.
struct Board {
  Flash Memory;
  sim::Faults Faults;
  bool Present = true;
  bool SameAsBefore = false;
  bool Replug = false;
  // For the log: "serial 4712", "blank", "no board", ...
  std::string Label;
};

Board MakeBoard(const BoardSettings& settings);
std::string BoardLabel(const BoardSettings& settings);

// "board-<n>.bin" in `folder`: where a run keeps board n's flash.
std::string BoardFlashPath(const std::string& folder, int board);

}  // namespace sim
