// updater-cli station: board after board on every port, without a command
// per board. Each port runs its own loop on its own thread: wait for the
// port, wait for a board's bootstrap loader, update it with verify, show
// PASS or FAIL, wait for the next power-up. One port's failure, silence or
// pulled adapter never stops the others.
//
// Ctrl-C (or SIGTERM) once: the boards in progress are finished, the ports
// that wait stop waiting, and the run ends with its summary. Twice: the
// boards in progress are cancelled too.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "console.h"
#include "firmware/image_plan.h"
#include "port_link.h"
#include "port_name.h"

struct StationSettings {
  std::vector<PortName> Ports;
  LinkSettings Link;
  const ImagePlan* Image = nullptr;
  // Boards per port before its loop ends; 0: until Ctrl-C.
  int Count = 0;
  // A board without identity gets the next free serial number of
  // [SerialFrom, SerialTo] and these values.
  bool NewIdentity = false;
  std::string Product;
  std::string HardwareVersion;
  std::string BrandLabel;
  uint32_t SerialFrom = 0;
  uint32_t SerialTo = 0;
  // Not empty: a board whose serial number is not one of these is refused.
  std::set<uint32_t> ExpectSerials;
  // Half a second of silence before the start byte goes out again.
  std::chrono::milliseconds StartRepeat{500};
};

// Reads the serial numbers of a list file: one a line, blank lines and
// lines starting with '#' skipped. False with `why` set when the file cannot
// be read or a line is no number.
bool ReadSerialList(const std::string& path, std::set<uint32_t>& serials, std::string* why);

// Runs the station until every port has done its --count or the operator
// stopped it; returns the exit code: 0 when every board passed, else the
// most severe code of the failed boards (130 or 143 when boards in progress
// were cancelled by a second Ctrl-C or SIGTERM).
int RunStation(const StationSettings& settings, Console& console);

// The station's stop requests as its signal handler counts them; for the
// tests, which stop a station running on a thread of their own.
void RequestStationStop(int signalNumber);
void ResetStationStop();
