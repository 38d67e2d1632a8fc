// What updater-cli does on one port, from opening it to the job's end, and
// what it learned on the way (for the summary, the report and the history).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "exit_code.h"
#include "core/history.h"
#include "firmware/identity.h"
#include "core/identity_store.h"
#include "port_link.h"
#include "port_name.h"

// The image of an update, read once before any port is touched and shared
// read-only by the port threads.
struct ImagePlan {
  std::string Path;
  int64_t Size = 0;
  std::string Sha256;
  ImageIdentity Identity;
  std::vector<int> Sectors;  // the sector list, ascending
};

enum class Command : uint8_t { Identify, Update, Read, Erase };

struct PortRequest {
  Command What = Command::Identify;
  const ImagePlan* Image = nullptr;  // Update
  std::string Destination;           // Read
  // Update: the identity to use when the device holds none (an update that
  // was interrupted after its identity block was erased).
  const SavedIdentity* KeptIdentity = nullptr;
  bool RecordHistory = true;
  std::string HistoryPath;  // empty: the user's history file
};

struct PhaseTime {
  std::string Name;
  double Seconds = 0;
};

struct PortOutcome {
  PortName Port;
  std::string DeviceFile;
  std::optional<DeviceIdentity> IdentityBefore;
  bool IdentityFromFile = false;                  // IdentityBefore came from --identity
  std::optional<DeviceIdentity> IdentityWritten;  // Update: what went into the image
  std::vector<PhaseTime> Phases;
  VerifyResult Verify = VerifyResult::NotRun;
  JobResult Result;  // the result that decided the outcome
  ExitCode Code = ExitCode::Success;
  std::string Message;  // one line for the operator; empty for success
  double Seconds = 0;
};

PortOutcome RunOnPort(const PortName& port, const LinkSettings& settings,
                      const PortRequest& request, Console& console);

// "DEMO165, hardware 1.0b"
std::string DescribeImage(const ImageIdentity& identity);
