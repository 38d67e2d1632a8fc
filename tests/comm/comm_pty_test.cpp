// TComm on a pseudo-terminal: the slave side plays the serial port, the
// master side the device at the other end of the wire.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "comm_async/comm_async.h"
#include "comm_async/queue_notify_target.h"
#include "core/line_settings.h"

namespace {

using namespace std::chrono_literals;

constexpr auto Deadline = 5s;

struct Notification {
  enum Kind { Event, Char, Error } kind;
  uint32_t value;
  uint32_t state;
};

int ThreadsOfProcess() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class PtyTest : public ::testing::Test {
 protected:
  int master = -1;
  int slave = -1;
  std::string slavePath;
  QueueNotifyTarget target;
  TComm comm{target};
  std::vector<Notification> seen;
  // What a characters handler does besides recording; default: nothing.
  std::function<void(uint32_t)> onChar;

  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    slavePath = name;
    // Raw from the start, so that nothing the test writes is echoed back.
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    setenv("UPDATER_COM1", slavePath.c_str(), 1);
    LoadComm1Configuration(comm);
    comm.OnCommEvent = [this](TComm*, uint32_t events, uint32_t state) {
      seen.push_back({Notification::Event, events, state});
    };
    comm.OnCharReceived = [this](TComm*, uint32_t cbInQue) {
      seen.push_back({Notification::Char, cbInQue, 0});
      if (onChar) onChar(cbInQue);
    };
    comm.OnCommError = [this](TComm*, uint32_t errorCode) {
      seen.push_back({Notification::Error, errorCode, 0});
    };
  }

  void TearDown() override {
    comm.Close();
    if (master >= 0) close(master);
    close(slave);
    unsetenv("UPDATER_COM1");
  }

  void ToPort(const std::string& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Bytes the port sent, waiting for `count` of them.
  std::string FromPort(size_t count) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + Deadline;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buffer[256];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
      }
    }
    return got;
  }

  // Pumps until `done` holds or the deadline passes.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + Deadline;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      target.PumpOne(comm, 20ms);
    }
    return true;
  }

  size_t Count(Notification::Kind kind) const {
    size_t n = 0;
    for (const Notification& s : seen) n += s.kind == kind;
    return n;
  }

  // Pumps for a while and tells how many notifications came meanwhile.
  size_t PumpFor(std::chrono::milliseconds span) {
    const size_t before = seen.size();
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) target.PumpOne(comm, 5ms);
    return seen.size() - before;
  }

  // The settings in force on the device, as the settings dialog gets them.
  Dcb DeviceSettings() {
    Dcb shown{};
    comm.SetSetupDialog([&shown](uint8_t, const std::string&, Dcb& dcb) {
      shown = dcb;
      return false;
    });
    comm.ShowSetupDialog();
    return shown;
  }
};

TEST_F(PtyTest, OpenAnnouncesItselfAndASecondOpenChangesNothing) {
  ASSERT_TRUE(comm.Open());
  // Delivered directly, before Open returned: nothing pumped yet.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].kind, Notification::Event);
  EXPECT_EQ(seen[0].value, 0xFFFFFFFFu);
  EXPECT_TRUE(comm.Connected());

  const int threads = ThreadsOfProcess();
  const size_t notified = seen.size();
  EXPECT_FALSE(comm.Open());
  EXPECT_TRUE(comm.Connected());
  EXPECT_EQ(ThreadsOfProcess(), threads) << "a second watcher was started";
  EXPECT_EQ(seen.size(), notified);

  // Port and event mask stay as they are while open.
  comm.SetPort(2);
  EXPECT_EQ(comm.Port(), 1);
  comm.SetEventMask(EventMaskOf(cevRXCHAR));
  EXPECT_EQ(comm.CommMask(), 0x1FFu);
  EXPECT_EQ(comm.EventMask(), EventMaskAll);

  comm.Close();
  EXPECT_FALSE(comm.Connected());
  EXPECT_EQ(ThreadsOfProcess(), threads - 1);
  comm.Close();  // closed already: nothing
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(comm.Read(buffer, 4), 0u);
  EXPECT_EQ(comm.Write("a", 1), 0u);
  EXPECT_EQ(std::string(buffer, 4), "xxxx");
}

TEST_F(PtyTest, DeviceIsHeldExclusively) {
  ASSERT_TRUE(comm.Open());
  QueueNotifyTarget otherTarget;
  TComm other(otherTarget);
  LoadComm1Configuration(other);
  EXPECT_FALSE(other.Open());

  // Another program asking for the lock fails too, also as root (where the
  // tty's own exclusive flag is not enforced).
  const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
  } else {
    EXPECT_EQ(errno, EBUSY);
  }

  comm.Close();
  EXPECT_TRUE(other.Open()) << "the device stayed locked after Close";
}

// The cause an operator needs: missing, not a serial line, held by someone
// (named), no permission. A port named by path wins over the port's default.
TEST_F(PtyTest, FailedOpensTellTheirCause) {
  ASSERT_TRUE(comm.Open());
  struct Row {
    std::string path;
    ErrorCause cause;
    std::string inText;
  };
  const std::vector<Row> rows = {
      {"/nonexistent/ttyUSB9", ErrorCause::NotFound, "/nonexistent/ttyUSB9"},
      {"/dev/null", ErrorCause::NotSerialDevice, "/dev/null"},
      {slavePath, ErrorCause::Busy, "process " + std::to_string(getpid())},
  };
  for (const Row& row : rows) {
    QueueNotifyTarget t;
    TComm c(t);
    LoadComm1Configuration(c);
    c.SetPort(3);
    c.SetDevicePath(row.path);
    EXPECT_EQ(c.DevicePath(), row.path);
    EXPECT_FALSE(c.Open()) << row.path;
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.LastError().Cause, row.cause) << c.LastError().Text;
    EXPECT_NE(c.LastError().Text.find(row.inText), std::string::npos) << c.LastError().Text;
  }
  comm.Close();

  // Forbidden: a user without access to a root-owned device of mode 0600.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open as another user";
  ASSERT_EQ(chmod(slavePath.c_str(), 0600), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    SysError error;
    const bool opened = SerialDevice::Open(slavePath, error) != nullptr;
    _exit(opened ? 101 : static_cast<int>(error.Cause));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ErrorCause::PermissionDenied));
}

// A write the line cannot take in time says how far it got.
TEST_F(PtyTest, AWriteThatTimesOutTellsHowManyBytesWentOut) {
  ASSERT_TRUE(comm.Open());
  const std::string lots(1 << 20, 'w');  // far more than the pty holds; nobody reads
  EXPECT_EQ(comm.Write(lots.data(), static_cast<uint32_t>(lots.size())), 0u);
  EXPECT_EQ(comm.LastError().Cause, ErrorCause::TimedOut);
  EXPECT_NE(comm.LastError().Text.find(" of 1048576 bytes"), std::string::npos)
      << comm.LastError().Text;
  EXPECT_EQ(comm.LastError().Text.find(" 0 of "), std::string::npos) << comm.LastError().Text;
}

TEST_F(PtyTest, ReadTakesOnlyWhatIsQueuedAndWritesReachThePeer) {
  ASSERT_TRUE(comm.Open());
  ToPort("AB");
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 0; }));
  char buffer[5] = {};
  EXPECT_EQ(comm.Read(buffer, 5), 2u);
  EXPECT_EQ(std::string(buffer, 2), "AB");
  EXPECT_EQ(comm.Read(buffer, 5), 0u);
  EXPECT_EQ(comm.Read(buffer, 1), 0u);

  const std::string sent = std::string("\x00\x55\xFF\r\n", 5);
  for (const char c : sent) EXPECT_EQ(comm.Write(&c, 1), 1u);
  EXPECT_EQ(comm.Write("xyz", 3), 3u);
  EXPECT_EQ(FromPort(8), sent + "xyz");
}

TEST_F(PtyTest, BytesArrivingTogetherGiveOneNotificationAndStaleBytesNone) {
  ASSERT_TRUE(comm.Open());
  onChar = [this](uint32_t) {
    char c;
    EXPECT_EQ(comm.Read(&c, 1), 1u);
  };
  ToPort("xyz");
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 0; }));
  EXPECT_EQ(seen.back().value, 3u);

  // Two bytes stay queued: no notification for them, and no core spent
  // looking at them again and again.
  const double cpuBefore = ProcessCpuSeconds();
  EXPECT_EQ(PumpFor(300ms), 0u);
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.075) << "a quarter of the span";

  ToPort("w");
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 1; }));
  EXPECT_EQ(seen.back().value, 3u) << "two stale and one new";
  char rest[8] = {};
  EXPECT_EQ(comm.Read(rest, 8), 2u);
  EXPECT_EQ(std::string(rest, 2), "zw");
}

TEST_F(PtyTest, AnAwaitedReplyIsToldOfOnceWholeAndAShortOneStill) {
  ASSERT_TRUE(comm.Open());
  comm.SetBaudRate(cbr1200);  // 8.3 ms a character
  std::string taken;
  onChar = [&](uint32_t) {
    char c[8];
    taken.append(c, comm.Read(c, sizeof c));
  };
  const size_t before = Count(Notification::Char);
  comm.ExpectReply(3);
  ToPort("w");
  std::this_thread::sleep_for(2ms);
  ToPort("dg");
  ASSERT_TRUE(PumpUntil([&] { return taken.size() == 3; }));
  EXPECT_EQ(Count(Notification::Char) - before, 1u) << "one notification for the reply";
  // A reply that falls short is told of once the line's time for it is over.
  comm.ExpectReply(3);
  ToPort("x");
  ASSERT_TRUE(PumpUntil([&] { return taken.size() == 4; }));
  EXPECT_EQ(taken, "wdgx");
}

TEST_F(PtyTest, UnreadBytesAreNotifiedAgainWhenAskedFor) {
  comm.NotifyAgainForUnreadBytes = true;
  ASSERT_TRUE(comm.Open());
  std::string taken;
  onChar = [&](uint32_t) {
    char c;
    if (comm.Read(&c, 1) == 1) taken += c;
  };
  ToPort("xyz");
  // One byte per notification, and no new byte arrives: the rest is told again.
  ASSERT_TRUE(PumpUntil([&] { return taken.size() == 3; }));
  EXPECT_EQ(taken, "xyz");
}

TEST_F(PtyTest, WatchedOnItsOwnThreadThePortRunsHandlersInWatchOnce) {
  comm.WatchOnOwnThread = true;
  const int threadsBefore = ThreadsOfProcess();
  ASSERT_TRUE(comm.Open());
  EXPECT_EQ(ThreadsOfProcess(), threadsBefore) << "no watcher";
  ASSERT_EQ(Count(Notification::Event), 1u) << "Open's own event, at once";

  std::thread::id ranOn;
  onChar = [&](uint32_t) {
    ranOn = std::this_thread::get_id();
    char c[4];
    EXPECT_EQ(comm.Read(c, 4), 2u);
  };
  ToPort("ab");
  ASSERT_TRUE(comm.WatchOnce(Deadline));
  EXPECT_EQ(Count(Notification::Char), 1u);
  EXPECT_EQ(seen.back().value, 2u);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(target.Pending(), 0u) << "nothing goes through the notify target";

  // A silent device: the wait ends at its time-out, having run nothing.
  const auto start = std::chrono::steady_clock::now();
  const size_t before = seen.size();
  while (comm.WatchOnce(100ms)) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, Deadline);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  for (size_t i = before; i < seen.size(); ++i) EXPECT_NE(seen[i].kind, Notification::Char);
}

TEST_F(PtyTest, NoNotificationWhileAHandlerRuns) {
  ASSERT_TRUE(comm.Open());
  size_t pendingWhileRunning = 99;
  onChar = [&](uint32_t) {
    onChar = nullptr;
    char c;
    while (comm.Read(&c, 1) == 1) {
    }
    // The handler polls for its own next byte, as the session does.
    ToPort("2");
    const auto end = std::chrono::steady_clock::now() + Deadline;
    while (comm.Read(&c, 1) == 0 && std::chrono::steady_clock::now() < end) {
    }
    EXPECT_EQ(c, '2');
    // Give the watcher every chance to post early.
    const auto settle = std::chrono::steady_clock::now() + 100ms;
    while (std::chrono::steady_clock::now() < settle) std::this_thread::sleep_for(5ms);
    pendingWhileRunning = target.Pending();
  };
  ToPort("1");
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 0; }));
  EXPECT_EQ(pendingWhileRunning, 0u);
  // The arrival seen during the handler is reported once it has returned.
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 1; }));
}

TEST_F(PtyTest, AThrowingHandlerStillHandsBack) {
  ASSERT_TRUE(comm.Open());
  bool thrown = false;
  onChar = [&](uint32_t) {
    char c;
    while (comm.Read(&c, 1) == 1) {
    }
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("handler failed");
    }
  };
  ToPort("a");
  const auto end = std::chrono::steady_clock::now() + Deadline;
  bool caught = false;
  while (!caught && std::chrono::steady_clock::now() < end) {
    try {
      target.PumpOne(comm, 20ms);
    } catch (const std::runtime_error&) {
      caught = true;
    }
  }
  ASSERT_TRUE(caught);
  ToPort("b");
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Char) > 1; }));
}

TEST_F(PtyTest, TransmitEmptyAloneIsACommEvent) {
  ASSERT_TRUE(comm.Open());
  seen.clear();
  ASSERT_EQ(comm.Write("T", 1), 1u);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen[0].kind, Notification::Event);
  EXPECT_EQ(seen[0].value, EvTxEmpty);
  EXPECT_EQ(FromPort(1), "T");
  // Reported once per drained write, not again and again.
  EXPECT_EQ(PumpFor(100ms), 0u);
}

TEST_F(PtyTest, CloseReturnsWhileANotificationIsStillQueued) {
  ASSERT_TRUE(comm.Open());
  ToPort("1");
  const auto end = std::chrono::steady_clock::now() + Deadline;
  while (target.Pending() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(target.Pending(), 1u);
  // The watcher now waits for the hand-back of the queued notification.
  ToPort("2");
  std::this_thread::sleep_for(20ms);

  auto closed = std::async(std::launch::async, [&] { comm.Close(); });
  if (closed.wait_for(Deadline) != std::future_status::ready) {
    ADD_FAILURE() << "Close waits for a hand-back that cannot come";
    std::abort();
  }
  EXPECT_EQ(target.Pending(), 1u) << "nothing posted after Close";
  // The queued notification is still delivered; its handler finds the port closed.
  size_t readInHandler = 99;
  onChar = [&](uint32_t) {
    char c;
    readInHandler = comm.Read(&c, 1);
  };
  EXPECT_TRUE(target.PumpOne(comm, 0ms));
  EXPECT_EQ(readInHandler, 0u);
}

TEST_F(PtyTest, AVanishedDeviceIsReportedOnceAndCostsNoCore) {
  ASSERT_TRUE(comm.Open());
  close(master);
  master = -1;
  ASSERT_TRUE(PumpUntil([&] { return Count(Notification::Error) > 0; }));
  EXPECT_TRUE(seen.back().value & CeIoe);

  const double cpuBefore = ProcessCpuSeconds();
  PumpFor(300ms);
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.075) << "a quarter of the span";
  EXPECT_EQ(Count(Notification::Error), 1u);
  EXPECT_EQ(comm.Write("x", 1), 0u);
  comm.Close();
  EXPECT_FALSE(comm.Connected());
}

TEST_F(PtyTest, SettingsReachTheDeviceOnlyWhenApplied) {
  ASSERT_TRUE(comm.Open());
  Dcb inForce = DeviceSettings();
  EXPECT_EQ(inForce.BaudRate, 38400u);
  EXPECT_EQ(inForce.ByteSize, 8);
  EXPECT_EQ(inForce.Parity, NoParity);
  EXPECT_EQ(inForce.StopBits, OneStopBit);
  EXPECT_EQ(inForce.Flags & (DcbOutxCtsFlow | DcbRtsControlMask | DcbOutX | DcbInX), 0u);

  // Change the line behind the component's back: writing the byte size it
  // already has must not push its settings again, another one must. (A
  // pseudo-terminal keeps 8 data bits and no parity whatever is asked; the
  // stop bits show it.)
  termios t{};
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  t.c_cflag |= CSTOPB;
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0) << strerror(errno);
  comm.SetByteSize(8);
  EXPECT_EQ(DeviceSettings().StopBits, TwoStopBits);
  comm.SetByteSize(5);
  EXPECT_EQ(DeviceSettings().StopBits, OneStopBit);
  comm.SetByteSize(8);

  // A character stored in the Dcb only waits for the next applying setter.
  comm.SetXonChar(0x05);
  EXPECT_NE(DeviceSettings().XonChar, 0x05);
  comm.SetParity(cpEVEN);
  inForce = DeviceSettings();
  EXPECT_EQ(inForce.XonChar, 0x05);

  comm.SetStopBits(csbTWO);
  comm.SetFlowControl(cfcHardware);
  inForce = DeviceSettings();
  EXPECT_EQ(inForce.StopBits, TwoStopBits);
  EXPECT_EQ(inForce.Flags & DcbRtsHandshake, DcbRtsHandshake);

  // A confirmed dialog takes the whole record and applies it.
  comm.SetSetupDialog([](uint8_t, const std::string&, Dcb& dcb) {
    dcb.Parity = MarkParity;
    dcb.StopBits = OneStopBit;
    dcb.Flags &= ~(DcbOutxCtsFlow | DcbRtsControlMask);
    return true;
  });
  comm.ShowSetupDialog();
  EXPECT_EQ(comm.Parity(), cpMARK);
  EXPECT_EQ(comm.FlowControl(), cfcNone);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(PARODD | CMSPAR));
}

TEST_F(PtyTest, RatesWithoutAStandardCodeAreAccepted) {
  ASSERT_TRUE(comm.Open());
  const std::vector<std::pair<TBaudRate, uint32_t>> rows = {{cbr14400, 14400}, {cbr256000, 256000},
                                                            {cbr56000, 56000}, {cbr128000, 128000},
                                                            {cbr9600, 9600},   {cbr115200, 115200}};
  for (const auto& [rate, bits] : rows) {
    comm.SetBaudRate(rate);
    EXPECT_EQ(DeviceSettings().BaudRate, bits);
  }
  // A line without modem lines took every setting; still a working line.
  EXPECT_FALSE(comm.LastError()) << comm.LastError().Text;
  EXPECT_EQ(comm.Write("k", 1), 1u);
  EXPECT_EQ(FromPort(1), "k");
}

struct DevicePathRow {
  const char* value;  // nullptr: not set
  uint8_t port;
  std::string expected;
};

TEST(SerialDevicePath, EnvironmentNamesTheDeviceElseTheStandardPort) {
  const std::vector<DevicePathRow> rows = {
      {nullptr, 1, "/dev/ttyS0"},      {nullptr, 4, "/dev/ttyS3"}, {"", 2, "/dev/ttyS1"},
      {"/dev/pts/7", 3, "/dev/pts/7"}, {"/tmp/x", 0, ""},          {"/tmp/x", 5, ""},
  };
  for (const DevicePathRow& row : rows) {
    const std::string name = "UPDATER_COM" + std::to_string(row.port);
    if (row.value) {
      setenv(name.c_str(), row.value, 1);
    } else {
      unsetenv(name.c_str());
    }
    EXPECT_EQ(SerialDevice::DevicePath(row.port), row.expected) << int(row.port);
    unsetenv(name.c_str());
  }
}

}  // namespace
