// TComm on a Windows port. Without hardware: what the failed opens report.
// With a port named by UPDATER_TEST_PORT (COM5, say) that has the simulated
// device at its other end (Wine maps COM5 to devsim's pseudo-terminal): the
// bootstrap loader answers the start byte through the watcher.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm_async.h"
#include "queue_notify_target.h"
#include "serial_ports.h"

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

TEST(Win32Port, TheDeviceAnswersTheStartByte) {
  if (TestPort().empty()) GTEST_SKIP() << "UPDATER_TEST_PORT names no port";
  bool listed = false;
  for (const SerialPortInfo& port : ListSerialPorts()) listed |= port.Path == TestPort();
  EXPECT_TRUE(listed) << TestPort() << " is not among the listed ports";

  QueueNotifyTarget target;
  TComm comm(target);
  LoadComm1Configuration(comm);
  comm.SetDevicePath(TestPort());
  std::string received;
  comm.OnCharReceived = [&](TComm* sender, uint32_t) {
    char c = 0;
    while (sender->Read(&c, 1) == 1) received += c;
  };
  ASSERT_TRUE(comm.Open()) << comm.LastError().Text;
  const char start = 0x00;
  ASSERT_EQ(comm.Write(&start, 1), 1u) << comm.LastError().Text;
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (received.empty() && std::chrono::steady_clock::now() < end) target.PumpOne(comm, 20ms);
  EXPECT_EQ(received, "\xD5");
  comm.Close();
  EXPECT_FALSE(comm.Connected());
}

}  // namespace
