// TComm on a Windows port. Without hardware: what the failed opens report.
// With a port named by UPDATER_TEST_PORT (COM5, say) that has the simulated
// device at its other end (Wine maps COM5 to devsim's pseudo-terminal): a
// connect and an identity read through the core, as the program runs them.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comm_async/comm_async.h"
#include "platform/host.h"
#include "core/line_settings.h"
#include "core/image_file.h"
#include "core/port_core.h"
#include "tests/support/session_fakes.h"
#include "comm_async/queue_notify_target.h"
#include "comm_async/serial_ports.h"
#include "session/session.h"

namespace {

using namespace std::chrono_literals;

// Wine lets a second program open a port that is held (it ignores the share
// mode of devices); Windows refuses it.
bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string TestPort() {
  const char* port = std::getenv("UPDATER_TEST_PORT");
  return port ? port : "";
}

TEST(Win32Port, PortNumbersNameTheSystemsDevices) {
  EXPECT_EQ(SerialDevice::DevicePath(1), "\\\\.\\COM1");
  EXPECT_EQ(SerialDevice::DevicePath(12), "\\\\.\\COM12");
  EXPECT_EQ(SerialDevice::DevicePath(0), "");
}

TEST(Win32Port, FailedOpensTellTheirCause) {
  struct Row {
    std::string path;
    ErrorCause cause;
  };
  std::vector<Row> rows = {{"COM199", ErrorCause::NotFound},
                           {"\\\\.\\NUL", ErrorCause::NotSerialDevice}};
  QueueNotifyTarget holderTarget;
  TComm holder(holderTarget);
  LoadComm1Configuration(holder);
  if (!TestPort().empty() && !UnderWine()) {
    holder.SetDevicePath(TestPort());
    ASSERT_TRUE(holder.Open()) << holder.LastError().Text;
    rows.push_back({TestPort(), ErrorCause::Busy});
  }
  for (const Row& row : rows) {
    QueueNotifyTarget t;
    TComm c(t);
    LoadComm1Configuration(c);
    c.SetDevicePath(row.path);
    EXPECT_FALSE(c.Open()) << row.path;
    EXPECT_EQ(c.LastError().Cause, row.cause) << row.path << ": " << c.LastError().Text;
    EXPECT_NE(c.LastError().Code, 0) << row.path;
  }
}

// The whole chain on this system's backend: the session connects (start
// byte, loader, flash routine, sector table), reads the identity and, where
// the folder holds fits.bin, updates the device with it (erase, program,
// read back). UPDATER_TEST_FILES names the folder with Loader.hex and
// F29f160d.hex.
TEST(Win32Port, ConnectVerifyAndUpdateThroughTheCore) {
  const char* files = std::getenv("UPDATER_TEST_FILES");
  if (TestPort().empty() || files == nullptr) GTEST_SKIP() << "no port with the device here";
  bool listed = false;
  for (const SerialPortInfo& port : ListSerialPorts()) listed |= port.Path == TestPort();
  EXPECT_TRUE(listed) << TestPort() << " is not among the listed ports";

  QueueNotifyTarget target;
  RecordingObserver window;
  PortCore core(target, window);
  // As the command line runs a port: no watcher, the port waited for here.
  core.Comm().WatchOnOwnThread = true;
  core.Comm().SetDevicePath(TestPort());
  Session& session = core.GetSession();
  session.WorkingDirectory = files;
  session.TemporaryImagePath = TemporaryImagePath().value_or("");
  session.FormActivate();
  std::optional<JobResult> last;
  const auto finish = [&](Job job, const std::function<void()>& start) -> const JobResult* {
    last = core.RunJob(job, start);
    return &*last;
  };

  const JobResult* connected = finish(Job::Connect, [&] { core.Connect(); });
  ASSERT_NE(connected, nullptr) << "connect did not finish; log:\n" << window.Log;
  ASSERT_EQ(connected->Outcome, JobOutcome::Ok) << connected->Reason << "\n" << window.Log;
  const JobResult* verified = finish(Job::VerifyHardware, [&] { core.Identify(); });
  ASSERT_NE(verified, nullptr) << "verify did not finish; log:\n" << window.Log;
  ASSERT_EQ(verified->Outcome, JobOutcome::Ok) << verified->Reason << "\n" << window.Log;
  EXPECT_TRUE(verified->HasIdentity);
  EXPECT_EQ(verified->Identity.ProductName, "DEMO165");

  const std::string image = std::string(files) + "/fits.bin";
  if (GetFileAttributesW(std::filesystem::u8path(image).c_str()) == INVALID_FILE_ATTRIBUTES) return;
  const ImagePlan plan = PlanImage(image);
  const JobResult* updated = finish(Job::Download, [&] { core.Update(plan); });
  ASSERT_NE(updated, nullptr) << "download did not finish; log:\n" << window.Log;
  EXPECT_EQ(updated->Outcome, JobOutcome::Ok) << updated->Reason << "\n" << window.Log;
  EXPECT_GT(updated->Count, 0);
}

}  // namespace
