// The simulated device on a pseudo-terminal: the program opens the slave side
// as its serial port, a runner thread plays the device on the master side.
// Everything here may be called from any thread while the runner works.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "device_model.h"
#include "flash.h"
#include "transcript.h"

namespace sim {

struct PtyOptions {
  // A symbolic link to the slave, made by Start and removed by Stop. An old
  // link of that name is replaced; any other file there makes Start fail.
  // It follows the port when the adapter is plugged back in.
  std::string LinkPath;
  // A readable record of both directions; empty for none.
  std::string TranscriptPath;
  // What the device did (upload checked, sector erased, fault hit, ...).
  // Called on the runner thread, without any lock held.
  std::function<void(const std::string&)> OnEvent;
  // The device powers up again (a power cycle, or the next board) whenever
  // the program closes its port, as unplugging and plugging back a board's
  // wire and power would.
  bool PowerCycleOnClose = false;
  // The next board (a power cycle) after this many start bytes in a row that
  // no loader answered: the operator swaps boards while a station waits.
  std::optional<uint64_t> NextBoardAfterStartBytes;
  // How long a pulled adapter stays out before it is plugged back in.
  std::chrono::milliseconds ReplugPause{1000};
  // With a paced line: the device's bytes reach the program in pieces of up
  // to this many, each once its last byte is through (as a USB adapter
  // hands them over); 0: byte by byte.
  uint32_t AdapterPieces = 0;
  // Board n (from 1) has been powered down holding this flash: at a power
  // cycle, when the next board is put on the line, and when the run stops.
  // Called without any lock held, on the thread that did it.
  std::function<void(int board, const Flash& flash)> OnPowerDown;
};

class PtyDevice {
 public:
  PtyDevice(DeviceConfig config, Flash flash, PtyOptions options = {});
  // Boards in turn: the first is on the line at the start, each power cycle
  // puts the next one there; after the last the line stays empty.
  // `boards` must not be empty.
  PtyDevice(DeviceConfig config, std::vector<Board> boards, PtyOptions options = {});
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Opens the pseudo-terminal and starts answering. False with `error` set
  // when the terminal, the link or the transcript cannot be made.
  bool Start(std::string* error);
  // Stops the runner, closes the line and removes the link. Idempotent.
  void Stop();
  // The link of PtyOptions, named once the device is made; before Start.
  void SetLinkPath(std::string path) { options_.LinkPath = std::move(path); }

  // The device file the program opens as its port, e.g. /dev/pts/3; another
  // one after the adapter has been plugged back in.
  std::string SlavePath() const;

  Flash ReadFlash() const;
  void ReplaceFlash(Flash flash);
  // Runs `work` on the flash with the device held still.
  void WithFlash(const std::function<void(Flash&)>& work);

  void SetFaults(Faults faults);
  Faults CurrentFaults() const;
  // Power off and on: back to the bootstrap loader, flash kept; output still
  // on its way is lost, as it would be. With boards in turn, the next board
  // is on the line instead (`clearFaults` does not apply to it).
  void PowerCycle(bool clearFaults);
  // Pulls the adapter and plugs it back after the pause: the program's port
  // hangs up, a new pseudo-terminal takes the link. The board runs on.
  void Replug();
  // Pulls the download wire: the master side is closed at once, the program
  // sees a hang-up. There is no plugging back in; make a new device.
  void PullWire();

  bool WirePulled() const { return wirePulled_; }
  bool Running() const { return running_; }
  // The board on the line now, counted from 1 at the start; past the last
  // of a sequence, the turn after it.
  int BoardNumber() const;
  bool BoardPresent() const;
  uint64_t PowerCycles() const { return powerCycles_; }
  uint64_t Replugs() const { return replugs_; }
  UploadState Upload() const;
  std::string UploadProblem() const;
  bool WaitingForCommand() const;
  uint64_t BytesSent() const;
  uint64_t BytesReceived() const;
  uint64_t UnansweredStartBytes() const;
  // The CPU clock of the runner thread, so that a benchmark can tell the
  // device's share from the program's. False when the runner is not there.
  bool RunnerCpuClock(clockid_t* clock);

 private:
  struct PoweredDown {
    int Board = 0;
    Flash Memory;
  };

  void Run();
  void Wake();
  bool OpenLine(std::string* error);
  bool ReopenHeldSlave();
  bool PlugBackIn(std::vector<std::string>& events);
  void CloseLine();
  // With mutex_ held: the board on the line goes off, the next (or the same)
  // comes on. What went off, for OnPowerDown once the lock is released.
  std::optional<PoweredDown> PowerCycleLocked(bool clearFaults);
  void Deliver(std::optional<PoweredDown>& down);

  mutable std::mutex mutex_;
  // Signalled when the runner has taken in a power cycle (guarded by mutex_).
  std::condition_variable caughtUp_;
  uint64_t powerCyclesTaken_ = 0;
  DeviceModel model_;  // guarded by mutex_
  PtyOptions options_;
  Transcript transcript_;  // runner thread only, once started

  // Boards in turn (guarded by mutex_); empty: one board, power cycles keep it.
  std::vector<Board> boards_;
  std::size_t nextBoard_ = 1;
  int boardNumber_ = 1;
  Flash lastFlash_;  // of the last board that was on the line
  bool stopPowerDownDone_ = false;

  int master_ = -1;
  int heldSlave_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::string slavePath_;  // guarded by mutex_
  bool linkMade_ = false;

  std::thread runner_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> pullRequested_{false};
  std::atomic<bool> replugRequested_{false};
  std::atomic<bool> wirePulled_{false};
  std::atomic<uint64_t> powerCycles_{0};
  std::atomic<uint64_t> replugs_{0};
};

}  // namespace sim
