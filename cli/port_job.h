// What updater-cli does on one port, from opening it to the job's end, and
// what it learned on the way (for the summary, the report and the history).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "core/history.h"
#include "core/identity_store.h"
#include "exit_code.h"
#include "firmware/identity.h"
#include "firmware/image_plan.h"
#include "port_link.h"
#include "port_name.h"
#include "store/job_record.h"

enum class Command : uint8_t { Identify, Update, Read, Erase };

// What a station says of a board once its identity is read, before
// anything on it is erased.
struct BoardVerdict {
  enum class Action : uint8_t {
    Update,  // go on with the update
    Skip,    // leave the board as it is (the board just finished, powered again)
    Refuse,  // the board must not be updated (`Why`)
  };
  Action What = Action::Update;
  std::string Why;
  // A board without identity: the identity to give it.
  std::optional<DeviceIdentity> NewIdentity;
};

struct PortRequest {
  Command What = Command::Identify;
  const ImagePlan* Image = nullptr;  // Update
  std::string Destination;           // Read
  // Update: the identity to use when the device holds none (an update that
  // was interrupted after its identity block was erased).
  const SavedIdentity* KeptIdentity = nullptr;
  // Station mode: "connect" waits for the next board.
  const BoardWait* Wait = nullptr;
  // Station mode: decides on the board from its identity (nothing for a
  // board without one).
  std::function<BoardVerdict(const std::optional<DeviceIdentity>&)> Screen;
  // A sector's program command is about to go out (sector, start, end).
  std::function<void(int32_t, uint32_t, uint32_t)> SectorProgramming;
  // Use KeptIdentity even when the store tells that its serial number has
  // finished an update since (the record says so).
  bool ForceIdentity = false;
};

struct PortOutcome {
  PortName Port;
  std::string DeviceFile;
  std::optional<DeviceIdentity> IdentityBefore;
  bool IdentityFromFile = false;                  // IdentityBefore came from --identity
  std::optional<DeviceIdentity> IdentityWritten;  // Update: what went into the image
  VerifyResult Verify = VerifyResult::NotRun;
  JobResult Result;  // the result that decided the outcome
  ExitCode Code = ExitCode::Success;
  std::string Message;  // one line for the operator; empty for success
  double Seconds = 0;
  // Station mode: when the board's loader answered; nothing when the
  // station stopped before a board came (nothing was done, nothing to keep).
  std::optional<std::chrono::steady_clock::time_point> BoardAnswered;
  bool Skipped = false;      // the station left the board as it was
  bool NewIdentity = false;  // IdentityWritten is the board's first identity
  // The board's record, as kept in the store: the report's part of the port.
  JobRecord Record;
};

// A job stopped by the signal `signal`: the exit code 128 + the number.
int StopExitCode(int signal);

PortOutcome RunOnPort(const PortName& port, const LinkSettings& settings,
                      const PortRequest& request, Console& console);
