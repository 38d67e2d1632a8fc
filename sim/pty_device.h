// The simulated device on a pseudo-terminal: the program opens the slave side
// as its serial port, a runner thread plays the device on the master side.
// Everything here may be called from any thread while the runner works.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "device_model.h"
#include "flash.h"
#include "transcript.h"

namespace sim {

struct PtyOptions {
  // A symbolic link to the slave, made by Start and removed by Stop. An old
  // link of that name is replaced; any other file there makes Start fail.
  std::string LinkPath;
  // A readable record of both directions; empty for none.
  std::string TranscriptPath;
  // What the device did (upload checked, sector erased, fault hit, ...).
  // Called on the runner thread, without any lock held.
  std::function<void(const std::string&)> OnEvent;
};

class PtyDevice {
 public:
  PtyDevice(DeviceConfig config, Flash flash, PtyOptions options = {});
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Opens the pseudo-terminal and starts answering. False with `error` set
  // when the terminal, the link or the transcript cannot be made.
  bool Start(std::string* error);
  // Stops the runner, closes the line and removes the link. Idempotent.
  void Stop();

  // The device file the program opens as its port, e.g. /dev/pts/3.
  std::string SlavePath() const { return slavePath_; }

  Flash ReadFlash() const;
  void ReplaceFlash(Flash flash);
  // Runs `work` on the flash with the device held still.
  void WithFlash(const std::function<void(Flash&)>& work);

  void SetFaults(Faults faults);
  Faults CurrentFaults() const;
  // Power off and on: back to the bootstrap loader, flash kept; output still
  // on its way is lost, as it would be.
  void PowerCycle(bool clearFaults);
  // Pulls the download wire: the master side is closed at once, the program
  // sees a hang-up. There is no plugging back in; make a new device.
  void PullWire();

  bool WirePulled() const { return wirePulled_; }
  bool Running() const { return running_; }
  UploadState Upload() const;
  std::string UploadProblem() const;
  bool WaitingForCommand() const;
  uint64_t BytesSent() const;
  uint64_t BytesReceived() const;

 private:
  void Run();
  void Wake();
  void CloseLine();

  mutable std::mutex mutex_;
  DeviceModel model_;  // guarded by mutex_
  PtyOptions options_;
  Transcript transcript_;  // runner thread only, once started

  int master_ = -1;
  int heldSlave_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::string slavePath_;
  bool linkMade_ = false;

  std::thread runner_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> pullRequested_{false};
  std::atomic<bool> wirePulled_{false};
  std::atomic<uint64_t> powerCycles_{0};
};

}  // namespace sim
