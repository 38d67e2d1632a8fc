// One port as the command line drives it: the core's jobs called on the
// port's own thread, its notifications pumped there, and what the jobs
// report passed on to a JobObserver of the front end. Each port of a run has
// its own PortLink on its own thread; nothing in it is shared.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/identity.h"
#include "firmware/image_plan.h"
#include "platform/sys_error.h"
#include "port_name.h"
#include "session/job.h"
#include "session/job_observer.h"
#include "store/job_record.h"

class PortCore;
class RecordStore;

struct LinkSettings {
  std::string FilesFolder;  // Loader.hex, F29f160d.hex and "empty"; empty = working folder
  uint32_t BaudRate = 38400;
  bool VerifyAfterDownload = true;
  // Longest silence of the device between replies before a job is given
  // up (the window's 5 s unless --timeout says otherwise); an erase or a
  // programming is always waited for at least twice as long as the flash
  // part may take.
  std::chrono::milliseconds SilenceLimit{5000};
  // Where the record of each board and the identities read go (opened once
  // per process); none: nothing is kept.
  RecordStore* Store = nullptr;
  RecordFrontEnd FrontEnd = RecordFrontEnd::Cli;  // the station names itself
  std::string Station;                            // empty: the host name
  std::string Operator;                           // empty: the login
  // Not 0 (the number of the signal that stopped the run): the running job
  // ends as cancelled and no other starts.
  const std::atomic<int>* Stop = nullptr;
};

// True when the serial component can run at `rate` bit/s.
bool SupportedBaudRate(uint32_t rate);

// How a station waits for its next board on a port.
struct BoardWait {
  // True: stop waiting (the operator ended the station); the wait ends as
  // cancelled, no board having answered.
  std::function<bool()> Stop;
  // True: the job in progress on the board ends as cancelled (a second
  // Ctrl-C); asked by every job of the link.
  std::function<bool()> Cancel;
  // The start byte goes out again after this long of silence.
  std::chrono::milliseconds Repeat{500};
  // A line for the operator: the port is missing, or back.
  std::function<void(const std::string&)> Note;
  // A board's loader answered: the board's job begins.
  std::function<void()> Arrived;
};

class PortLink {
 public:
  PortLink(PortName port, LinkSettings settings, JobObserver& observer);
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // The jobs, each run to its end on the calling thread.
  JobResult Connect();
  // "connect" to the next board: waits until the port is there (an adapter
  // pulled is waited for until it is back), then sends the start byte every
  // `wait.Repeat` of silence until a bootstrap loader answers, and connects.
  // Only `wait.Stop` ends the wait; `answered` is when a loader answered,
  // nothing when none did.
  JobResult WaitForBoard(const BoardWait& wait,
                         std::optional<std::chrono::steady_clock::time_point>& answered);
  JobResult ReadIdentity();
  // `image` is the plan read before any port was opened.
  JobResult Download(const ImagePlan& image);
  JobResult ReadBack(const std::string& destinationPath);
  JobResult EraseOnly();

  // Takes a saved identity as if the device had reported it.
  void UseIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block);

  const PortName& Port() const { return port_; }
  // The port's core, for its record.
  PortCore& Core();
  // The device file the port opens.
  std::string DevicePath() const;
  // Why the port did not open, after Connect failed with PortNotOpened.
  SysError OpenError() const;

 private:
  struct Parts;
  PortName port_;
  LinkSettings settings_;
  std::unique_ptr<Parts> parts_;
};
