// The command line of devsim, parsed into settings; kept apart from main so
// that it can be tested.
#pragma once

#include <string>
#include <vector>

#include "device_model.h"
#include "flash.h"
#include "image_builder.h"

namespace sim {

struct DevsimSettings {
  std::string LoaderPath = "Loader.hex";
  std::string RoutinePath = "F29f160d.hex";
  std::string FlashPath;  // empty: the flash lives only as long as the run
  DeviceIdentity Identity{"DEMO165", "1.0a", 4711u, std::nullopt};
  std::vector<int> PatternSectors{8, 9};
  std::optional<std::array<uint8_t, 2>> Message;
  std::string LinkPath;
  std::string TranscriptPath;
  bool ClearFaultsOnPowerCycle = false;
  Faults InitialFaults;
  bool Help = false;
};

struct MakeImageSettings {
  std::string OutPath;
  ImageOptions Options;
  bool Help = false;
};

// `args` excludes the program name (and the subcommand). False with `error`
// set on an unknown option or a bad value.
bool ParseDevsimArgs(const std::vector<std::string>& args, DevsimSettings& settings,
                     std::string* error);
bool ParseMakeImageArgs(const std::vector<std::string>& args, MakeImageSettings& settings,
                        std::string* error);

extern const char* const DevsimUsage;

}  // namespace sim
