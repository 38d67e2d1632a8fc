// The end-to-end rig: a scratch working folder with the upload files, the
// simulated device on a pseudo-terminal behind COM1, and a session without a
// window that runs the real TComm and is pumped on the test thread.
//
// Every wait here polls with a deadline; nothing sleeps for a fixed time.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comm_async/comm_async.h"
#include "comm_async/queue_notify_target.h"
#include "core/image_file.h"
#include "core/port_core.h"
#include "session/session.h"
#include "sim/device_rig.h"
#include "store/record_store.h"
#include "tests/support/session_fakes.h"

namespace integration {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Long enough for a 2 MiB update under the sanitizers, short enough that a
// hang fails the test instead of the whole run.
constexpr std::chrono::milliseconds JobPatience = 60s;

// The device side is the shared simulated-device rig; here it only answers
// in the test framework's terms.
using rig::DemoIdentity;
using rig::DeviceSetup;
using rig::FileExists;
using rig::FirstDifference;
using rig::FlashAfterProgramming;
using rig::ReadFileBytes;
using rig::SourceFile;
using rig::WriteFileBytes;

// The rig's scratch folder; a folder that cannot be made fails the test.
class WorkFolder : public rig::WorkFolder {
 public:
  WorkFolder() {
    if (!Problem().empty()) ADD_FAILURE() << Problem();
  }
};

// A unit that falls silent inside the fourth entry of the sector table: after
// its identification, "j" and its extra byte, the count and a prompt, and
// three entries.
DeviceSetup SilentInsideTheSectorTable();

// The rig's simulated device, started as a test assertion.
class SimulatedDevice : public rig::SimulatedDevice {
 public:
  using rig::SimulatedDevice::SimulatedDevice;
  ::testing::AssertionResult Start(int comPort = 1) {
    std::string error;
    if (rig::SimulatedDevice::Start(comPort, &error)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "simulator: " << error;
  }
};

// A session as the program runs it, on the core every front end uses, with a
// recording window instead of Form1: the real TComm delivers its
// notifications into a plain queue that PumpUntil hands to the session on the
// calling thread.
class NoWindowRig {
 public:
  explicit NoWindowRig(const WorkFolder& folder,
                       std::chrono::milliseconds sectorTableByteTimeout = 1000ms);
  ~NoWindowRig();
  NoWindowRig(const NoWindowRig&) = delete;
  NoWindowRig& operator=(const NoWindowRig&) = delete;

  // The jobs' records and the identities read stay in the test's folder.
  std::unique_ptr<RecordStore> Store;
  QueueNotifyTarget Target;
  RecordingObserver Window;
  PortCore Core{Target, Window, &Window};
  TComm& Comm = Core.Comm();
  Session& TheSession = Core.GetSession();

  // Delivers notifications until `done` holds; false once `timeout` passed.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = JobPatience);
  // Delivers whatever is queued or arrives within `quiet` of the last one.
  void PumpIdle(std::chrono::milliseconds quiet = 100ms);

  // Where the log stands now, for LogSince.
  size_t LogMark() const { return Window.Log.size(); }
  std::string LogSince(size_t mark) const { return Window.Log.substr(mark); }

  // The jobs, run to their end. Each fails with the log of the job when the
  // end it waits for does not come.
  ::testing::AssertionResult Connect();
  ::testing::AssertionResult VerifyHardware();
  ::testing::AssertionResult Download(const std::string& imagePath);
  ::testing::AssertionResult ReadBack(const std::string& destinationPath);
  ::testing::AssertionResult EraseOnly();

  // Starts a job and pumps until `done`; the failure names `what`.
  ::testing::AssertionResult RunJob(const char* what, const std::function<void()>& start,
                                    const std::function<bool()>& done,
                                    std::chrono::milliseconds timeout = JobPatience);

 private:
  const WorkFolder& folder_;
  ImagePlan image_;
};

// --- Expected results

// The image as the update patches it for a device with `identity`, produced
// through a scratch file in `folder`.
std::optional<Bytes> PatchedImage(const WorkFolder& folder, const std::string& imagePath,
                                  const sim::DeviceIdentity& identity);

// A log split into lines that keep their "\r\n", for comparisons that point
// at the failing line.
std::vector<std::string> LogLines(std::string_view log);

// --- Expected log texts of the jobs on a well-behaved device

// "connect" from the button to "<  c o n n e c t e d  >".
std::string ConnectLog(bool portAlreadyOpen = false);
// "verify hardware" from the button to the two empty lines after "<done>".
std::string IdentityReadLog();
// The erase and programming exchange of an image of `imageSize` bytes into
// `sectors` (ascending), from the first "<flashroutine waiting for
// command...>" to "<done>".
std::string FlashJobLog(const std::vector<int>& sectors, int64_t imageSize, bool verified = false);
// "download" of a fitting image, from the dialog's answer to "<done>".
std::string UpdateLog(const std::string& imagePath, const std::vector<int>& sectors,
                      int64_t imageSize, bool verified = true);
// The erase-only job with an "empty" of `imageSize` bytes.
std::string EraseOnlyLog(int64_t imageSize);
// The read-back of sectors 8 and 9 in full into `destinationPath`.
std::string ReadBackLog(const std::string& destinationPath);

}  // namespace integration
