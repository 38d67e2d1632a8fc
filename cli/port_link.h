// One port as the command line drives it: the serial component, its
// notifications pumped on the calling thread, the session, and a window that
// turns the session's reports into progress and job results. Each port of a
// run has its own PortLink on its own thread; nothing in it is shared.
//
// Every job is started through the session's handlers, as the window's
// buttons start them, and waited for until the session reports its end. The
// wait is bounded twice: the session's own clock ends jobs of a device that
// fell silent, and the link gives up when nothing at all arrives for a while
// or the job overruns what its bytes can take at the line's rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/identity.h"
#include "port_name.h"
#include "session/session_window.h"
#include "platform/sys_error.h"

class Session;

// What a link tells its front end while a job runs. Called on the link's
// thread.
class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  // A piece of the session's log (lines end in "\r\n", pieces may split them).
  virtual void Log(std::string_view /*text*/) {}
  // The running job's count moved: bytes or words done, and the session's
  // percent. A percent that falls back starts a new phase (the verify).
  virtual void Progress(Job /*job*/, int64_t /*count*/, int32_t /*percent*/) {}
  // A warning box the window would have shown.
  virtual void Warning(std::string_view /*text*/) {}
};

struct LinkSettings {
  std::string FilesFolder;  // Loader.hex, F29f160d.hex and "empty"; empty = working folder
  uint32_t BaudRate = 38400;
  bool VerifyAfterDownload = true;
  // Longest time without any notification from the port before a job is
  // given up as silent.
  std::chrono::milliseconds SilenceLimit{60000};
};

// True when the serial component can run at `rate` bit/s.
bool SupportedBaudRate(uint32_t rate);

class PortLink {
 public:
  PortLink(PortName port, LinkSettings settings, LinkObserver& observer);
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // The jobs, each run to its end on the calling thread.
  JobResult Connect();
  JobResult ReadIdentity();
  // `expectedBytes` bounds the job's time: the image's size.
  JobResult Download(const std::string& imagePath, int64_t expectedBytes);
  JobResult ReadBack(const std::string& destinationPath);
  JobResult EraseOnly();

  // Takes a saved identity as if the device had reported it.
  void UseIdentity(const DeviceIdentity& identity, const std::vector<uint8_t>& block);
  // A warning from the last job's end (the identity could not be kept on
  // this machine); empty when none.
  const std::string& JobWarning() const { return jobWarning_; }

  const PortName& Port() const { return port_; }
  // The device file the port opens.
  std::string DevicePath() const;
  // Why the port did not open, after Connect failed with PortNotOpened.
  SysError OpenError() const;

 private:
  struct Parts;
  // Runs a handler of the session, as a click on its button would.
  void Start(void (Session::*handler)());
  JobResult Run(Job job, const std::function<void()>& start, int64_t lineBytes);

  PortName port_;
  LinkSettings settings_;
  std::unique_ptr<Parts> parts_;
  std::string jobWarning_;
};
