// The device on a real pseudo-terminal, seen from the program's side of it.
#include "sim/pty_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/upload.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto Patience = std::chrono::seconds(10);

// The program's end of the line: a raw port on the slave.
class Port {
 public:
  explicit Port(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios settings{};
    ::tcgetattr(fd_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd_, TCSANOW, &settings);
  }
  ~Port() { Close(); }
  bool IsOpen() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Write(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + Patience;
    while (done < bytes.size() && Clock::now() < deadline) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
    return done == bytes.size();
  }

  // Exactly `count` bytes, or what came before the deadline.
  Bytes Read(std::size_t count) {
    Bytes got;
    const auto deadline = Clock::now() + Patience;
    while (got.size() < count && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) break;
      uint8_t buffer[4096];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // True once the other end has hung up.
  bool WaitForHangUp() {
    const auto deadline = Clock::now() + Patience;
    while (Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0 && (p.revents & POLLHUP)) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
};

DeviceConfig TestConfig() {
  DeviceConfig config;
  config.Loader = DecodeHexText("E6F000FA0102030405060708090A0B0C0D0E0F10");
  for (int i = 0; i < 300; ++i) config.Routine.push_back(static_cast<uint8_t>(i * 13 + 1));
  return config;
}

Bytes Upload(const DeviceConfig& config) {
  Bytes bytes = ExpectedLoader(config.Loader);
  bytes.insert(bytes.end(), config.Routine.begin(), config.Routine.end());
  return bytes;
}

template <typename Predicate>
bool Eventually(Predicate predicate) {
  const auto deadline = Clock::now() + Patience;
  while (Clock::now() < deadline) {
    if (predicate()) return true;
    ::usleep(1000);
  }
  return predicate();
}

std::string TempName(const char* stem) {
  return std::string("/tmp/") + stem + "_" + std::to_string(::getpid());
}

// Start byte, upload and sector table, as the program does it.
void Connect(Port& port, const DeviceConfig& config) {
  ASSERT_TRUE(port.Write({0x00}));
  ASSERT_EQ(port.Read(1), Bytes{BootIdentify});
  ASSERT_TRUE(port.Write(Upload(config)));
  ASSERT_EQ(port.Read(2), Bytes({ReplyTable, TableAnnounceExtra}));
  ASSERT_TRUE(port.Write({CmdTableCount}));
  const Bytes count = port.Read(2);
  ASSERT_EQ(count, Bytes({DefaultTableCount, TablePrompt}));
  for (int i = 0; i <= DefaultTableCount + 1; ++i) {
    ASSERT_TRUE(port.Write({CmdTableEntry, static_cast<uint8_t>(i)}));
    const Bytes entry = port.Read(5);
    ASSERT_EQ(entry.size(), 5u);
    const uint32_t value =
        static_cast<uint32_t>(entry[0]) << 24 | entry[1] << 16 | entry[2] << 8 | entry[3];
    ASSERT_EQ(value, SectorTable[i]);
    ASSERT_EQ(entry[4], i <= DefaultTableCount ? TablePrompt : ReplyReady);
  }
}

TEST(PtyDevice, StartByteIsAnsweredOnTheSlave) {
  PtyDevice device(TestConfig(), Flash());
  std::string error;
  ASSERT_TRUE(device.Start(&error)) << error;
  EXPECT_EQ(device.SlavePath().rfind("/dev/pts/", 0), 0u);
  Port port(device.SlavePath());
  ASSERT_TRUE(port.IsOpen());
  ASSERT_TRUE(port.Write({0x00}));
  EXPECT_EQ(port.Read(1), Bytes{0xD5});
  EXPECT_TRUE(Eventually([&] { return device.Upload() == UploadState::ReceivingLoader; }));
}

TEST(PtyDevice, ProgramAndReadBackThroughTheLine) {
  const DeviceConfig config = TestConfig();
  const std::string transcript = TempName("sim_transcript");
  PtyOptions options;
  options.TranscriptPath = transcript;
  std::vector<std::string> events;
  std::mutex eventsMutex;
  options.OnEvent = [&](const std::string& text) {
    std::lock_guard lock(eventsMutex);
    events.push_back(text);
  };
  {
    PtyDevice device(config, Flash(), options);
    ASSERT_TRUE(device.Start(nullptr));
    Port port(device.SlavePath());
    Connect(port, config);
    EXPECT_EQ(device.Upload(), UploadState::Accepted);

    ASSERT_TRUE(port.Write({CmdErase, 2}));
    EXPECT_EQ(port.Read(2), Bytes({ReplyErased, ReplyReady}));
    Bytes data(SectorSize(2));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
    Bytes command = {CmdProgram, 2};
    command.insert(command.end(), data.begin(), data.end());
    ASSERT_TRUE(port.Write(command));
    EXPECT_EQ(port.Read(2), Bytes({ReplyProgrammed, ReplyReady}));
    const Flash flash = device.ReadFlash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.Sector(2).begin()));

    // Read the first two words back over the line and stop.
    ASSERT_TRUE(port.Write({CmdReadSector, 2, CmdNextWord}));
    EXPECT_EQ(port.Read(3), Bytes({data[0], data[1], ReplyWordSent}));
    ASSERT_TRUE(port.Write({CmdNextWord}));
    EXPECT_EQ(port.Read(3), Bytes({data[2], data[3], ReplyWordSent}));
    ASSERT_TRUE(port.Write({CmdStop}));
    EXPECT_EQ(port.Read(1), Bytes{ReplyReady});
  }
  std::ifstream file(transcript);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find("< 000000  00\n> 000000  D5\n"), std::string::npos);
  EXPECT_NE(text.str().find("# upload accepted"), std::string::npos);
  EXPECT_NE(text.str().find("# program sector 2: programmed"), std::string::npos);
  std::lock_guard lock(eventsMutex);
  EXPECT_NE(std::find(events.begin(), events.end(), "erase sector 2"), events.end());
  ::unlink(transcript.c_str());
}

TEST(PtyDevice, PortCanBeClosedAndReopened) {
  const DeviceConfig config = TestConfig();
  PtyDevice device(config, Flash());
  ASSERT_TRUE(device.Start(nullptr));
  {
    Port first(device.SlavePath());
    ASSERT_TRUE(first.Write({0x00}));
    ASSERT_EQ(first.Read(1), Bytes{0xD5});
  }
  Port again(device.SlavePath());
  ASSERT_TRUE(again.IsOpen());
  ASSERT_TRUE(again.Write(Upload(config)));
  EXPECT_EQ(again.Read(2), Bytes({ReplyTable, TableAnnounceExtra}));
}

TEST(PtyDevice, WrongUploadIsReportedAndAnsweredWithSilence) {
  const DeviceConfig config = TestConfig();
  PtyDevice device(config, Flash());
  ASSERT_TRUE(device.Start(nullptr));
  Port port(device.SlavePath());
  ASSERT_TRUE(port.Write({0x00}));
  ASSERT_EQ(port.Read(1), Bytes{0xD5});
  Bytes upload = Upload(config);
  upload[40] ^= 0xFF;
  ASSERT_TRUE(port.Write(upload));
  ASSERT_TRUE(Eventually([&] { return device.Upload() == UploadState::RoutineMismatch; }));
  EXPECT_NE(device.UploadProblem().find("byte 8 "), std::string::npos) << device.UploadProblem();
  // A power cycle on the running line brings the loader back.
  device.PowerCycle(false);
  ASSERT_TRUE(port.Write({0x00}));
  EXPECT_EQ(port.Read(1), Bytes{0xD5});
}

TEST(PtyDevice, PulledWireHangsUpTheProgramsPort) {
  struct Row {
    const char* name;
    bool byFault;
  };
  for (const Row row : {Row{"pulled by hand", false}, Row{"hang-up fault", true}}) {
    SCOPED_TRACE(row.name);
    const DeviceConfig config = TestConfig();
    DeviceConfig faulty = config;
    if (row.byFault) faulty.InitialFaults.HangUpAfterReceived = 1 + 32 + 10;
    PtyDevice device(faulty, Flash());
    ASSERT_TRUE(device.Start(nullptr));
    Port port(device.SlavePath());
    ASSERT_TRUE(port.Write({0x00}));
    ASSERT_EQ(port.Read(1), Bytes{0xD5});
    if (row.byFault) {
      ASSERT_TRUE(port.Write(Upload(config)));
    } else {
      device.PullWire();
    }
    EXPECT_TRUE(port.WaitForHangUp());
    EXPECT_TRUE(Eventually([&] { return device.WirePulled() && !device.Running(); }));
    // The flash stays readable after the line is gone.
    EXPECT_EQ(device.ReadFlash().At(0), 0xFF);
  }
}

TEST(PtyDevice, FaultsSetWhileRunningAndPacedLine) {
  const DeviceConfig config = TestConfig();
  Flash flash;
  for (uint32_t a = 0; a < 64; ++a) flash.MutableBytes()[0x10000 + a] = static_cast<uint8_t>(a);
  PtyDevice device(config, std::move(flash));
  ASSERT_TRUE(device.Start(nullptr));
  Port port(device.SlavePath());
  Connect(port, config);
  Faults faults;
  faults.BitRate = 115200;
  faults.Strays = {{device.BytesSent() + 3, 'Z'}};
  device.SetFaults(faults);
  ASSERT_TRUE(port.Write({CmdReadAddress, 0x01, 0x00, 0x00, CmdNextWord}));
  EXPECT_EQ(port.Read(4), Bytes({0, 1, ReplyWordSent, 'Z'}));
  for (uint8_t w = 1; w < 20; ++w) {
    ASSERT_TRUE(port.Write({CmdNextWord}));
    ASSERT_EQ(port.Read(3),
              Bytes({static_cast<uint8_t>(2 * w), static_cast<uint8_t>(2 * w + 1), ReplyWordSent}));
  }
  EXPECT_EQ(device.CurrentFaults().BitRate, 115200u);
  // The program's bytes are taken as the line brings them, in pieces, and
  // all of them arrive.
  faults.InputBitRate = 2'000'000;
  device.SetFaults(faults);
  Bytes command = {CmdStop, CmdProgram, 1};
  for (uint32_t i = 0; i < SectorSize(1); ++i) command.push_back(static_cast<uint8_t>(i * 7));
  ASSERT_TRUE(port.Write(command));
  EXPECT_EQ(port.Read(3), Bytes({ReplyReady, ReplyProgrammed, ReplyReady}));
  const Flash programmed = device.ReadFlash();
  EXPECT_TRUE(std::equal(command.begin() + 3, command.end(), programmed.Sector(1).begin()));
}

std::string LinkTarget(const std::string& link) {
  char target[256];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

TEST(PtyDevice, ClosingThePortPowersTheDeviceUpAgain) {
  const DeviceConfig config = TestConfig();
  PtyOptions options;
  options.PowerCycleOnClose = true;
  PtyDevice device(config, Flash(), options);
  ASSERT_TRUE(device.Start(nullptr));
  for (int session = 0; session < 2; ++session) {
    SCOPED_TRACE(session);
    Port port(device.SlavePath());
    Connect(port, config);
    ASSERT_TRUE(device.WaitingForCommand());
    port.Close();
    ASSERT_TRUE(Eventually([&] { return device.PowerCycles() == uint64_t(session + 1); }));
  }
  Port again(device.SlavePath());
  ASSERT_TRUE(again.Write({0x00}));
  EXPECT_EQ(again.Read(1), Bytes{BootIdentify});
}

TEST(PtyDevice, BoardsInTurnAtEachPowerCycle) {
  const DeviceConfig config = TestConfig();
  auto withSerial = [](std::optional<uint32_t> serial, bool absent = false) {
    BoardSettings settings;
    settings.Identity.SerialNumber = serial;
    settings.NoIdentity = !serial;
    settings.Absent = absent;
    return settings;
  };
  auto board = [&](std::optional<uint32_t> serial, bool absent = false) {
    return MakeBoard(withSerial(serial, absent));
  };
  std::vector<Board> boards;
  boards.push_back(board(1));
  boards.push_back(board(std::nullopt));
  boards.push_back(board(std::nullopt, true));
  boards.push_back(board(3));
  PtyOptions options;
  options.NextBoardAfterStartBytes = 2;
  std::mutex mutex;
  std::map<int, Flash> poweredDown;
  options.OnPowerDown = [&](int number, const Flash& flash) {
    std::lock_guard lock(mutex);
    poweredDown.insert_or_assign(number, flash);
  };
  PtyDevice device(config, std::move(boards), options);
  ASSERT_TRUE(device.Start(nullptr));
  Port port(device.SlavePath());
  Connect(port, config);
  ASSERT_TRUE(port.Write({CmdErase, 8}));
  ASSERT_EQ(port.Read(2), Bytes({ReplyErased, ReplyReady}));
  // Done with: the routine does not answer a start byte, only a power cycle
  // brings a loader back.
  ASSERT_TRUE(port.Write({0x00}));
  ASSERT_TRUE(Eventually([&] { return device.UnansweredStartBytes() == 1; }));

  device.PowerCycle(false);
  EXPECT_EQ(device.BoardNumber(), 2);
  const auto identityOf = [](const Flash& flash) {
    return Bytes(flash.Bytes().begin() + IdentityAddress,
                 flash.Bytes().begin() + IdentityAddress + 64);
  };
  EXPECT_EQ(identityOf(device.ReadFlash()), Bytes(64, 0xFF));
  ASSERT_TRUE(port.Write({0x00}));
  EXPECT_EQ(port.Read(1), Bytes{BootIdentify});
  {
    std::lock_guard lock(mutex);
    ASSERT_TRUE(poweredDown.contains(1));
    EXPECT_EQ(poweredDown[1].At(SectorTable[8]), 0xFF);
    EXPECT_EQ(identityOf(poweredDown[1]), identityOf(MakeBoard(withSerial(1)).Memory));
  }

  // An empty slot: the station's start bytes go unanswered until the
  // operator puts the next board there.
  device.PowerCycle(false);
  EXPECT_FALSE(device.BoardPresent());
  ASSERT_TRUE(port.Write({0x00}));
  ASSERT_TRUE(Eventually([&] { return device.UnansweredStartBytes() == 1; }));
  ASSERT_TRUE(port.Write({0x00}));
  ASSERT_TRUE(Eventually([&] { return device.BoardNumber() == 4; }));
  ASSERT_TRUE(port.Write({0x00}));
  EXPECT_EQ(port.Read(1), Bytes{BootIdentify});
  device.Stop();
  std::lock_guard lock(mutex);
  EXPECT_TRUE(poweredDown.contains(2));
  EXPECT_FALSE(poweredDown.contains(3));
  ASSERT_TRUE(poweredDown.contains(4));
  EXPECT_EQ(identityOf(poweredDown[4]), identityOf(MakeBoard(withSerial(3)).Memory));
}

TEST(PtyDevice, PulledAdapterComesBackBehindTheLink) {
  const std::string link = TempName("sim_replug");
  ::unlink(link.c_str());
  const DeviceConfig config = TestConfig();
  PtyOptions options;
  options.LinkPath = link;
  options.ReplugPause = std::chrono::milliseconds(50);
  PtyDevice device(config, Flash(), options);
  ASSERT_TRUE(device.Start(nullptr));
  const std::string before = LinkTarget(link);
  Port first(link);
  ASSERT_TRUE(first.Write({0x00}));
  ASSERT_EQ(first.Read(1), Bytes{BootIdentify});
  device.Replug();
  EXPECT_TRUE(first.WaitForHangUp());
  ASSERT_TRUE(Eventually([&] { return device.Replugs() == 1; }));
  EXPECT_NE(LinkTarget(link), before);
  EXPECT_EQ(LinkTarget(link), device.SlavePath());
  // The board ran on while the adapter was out: it still takes its upload.
  Port second(link);
  ASSERT_TRUE(second.IsOpen());
  ASSERT_TRUE(second.Write(Upload(config)));
  EXPECT_EQ(second.Read(2), Bytes({ReplyTable, TableAnnounceExtra}));
  device.Stop();
  struct stat info {};
  EXPECT_NE(::lstat(link.c_str(), &info), 0);
}

TEST(PtyDevice, LinkFollowsTheRun) {
  const std::string link = TempName("sim_link");
  ::unlink(link.c_str());
  PtyOptions options;
  options.LinkPath = link;
  {
    PtyDevice device(TestConfig(), Flash(), options);
    ASSERT_TRUE(device.Start(nullptr));
    Port port(link);
    ASSERT_TRUE(port.Write({0x00}));
    EXPECT_EQ(port.Read(1), Bytes{0xD5});
    device.Stop();
    struct stat info {};
    EXPECT_NE(::lstat(link.c_str(), &info), 0);
  }
  // A real file of that name is never replaced.
  std::ofstream(link) << "keep";
  PtyDevice blocked(TestConfig(), Flash(), options);
  std::string error;
  EXPECT_FALSE(blocked.Start(&error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
  std::ifstream kept(link);
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "keep");
  ::unlink(link.c_str());
}

}  // namespace
}  // namespace sim
