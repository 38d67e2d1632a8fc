// The simulated device as the tests and the benchmarks set it up: a scratch
// working folder with the upload files, the device on a pseudo-terminal
// reachable as COM<n> through UPDATER_COM<n>, its boards, its flash and what
// it reported doing. No test framework in it: failures come back as text.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/boards.h"
#include "sim/device_model.h"
#include "sim/flash.h"
#include "sim/pty_device.h"

namespace rig {

using Bytes = std::vector<uint8_t>;

// A file of the source tree, e.g. "demo/Loader.hex".
std::string SourceFile(const std::string& relative);

Bytes ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);

// A fresh folder under the system's temporary folder, named from `stem`,
// holding copies of the two upload files; removed with everything in it when
// the object goes.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& stem = "updater-it");
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool Write(const std::string& name, const Bytes& bytes) const {
    return WriteFileBytes(File(name), bytes);
  }
  Bytes Read(const std::string& name) const { return ReadFileBytes(File(name)); }
  // What went wrong making the folder or copying the files; empty if nothing.
  const std::string& Problem() const { return problem_; }

 private:
  std::string path_;
  std::string problem_;
};

// The identity the simulated units carry unless a test asks for another.
sim::DeviceIdentity DemoIdentity();
// A board like the first one of every rig: DemoIdentity, pattern in 8 and 9.
sim::BoardSettings DemoBoard();

struct DeviceSetup {
  sim::DeviceIdentity Identity = DemoIdentity();
  // A board fresh from production: its identity block erased (0xFF).
  bool NoIdentity = false;
  // Sectors that hold the recognisable pattern (sim::PatternByte).
  std::vector<int> PatternSectors{8, 9};
  // When set, the flash starts as this instead of one made from the above.
  std::optional<sim::Flash> Flash;
  sim::Faults Faults;
  // An "h" message the routine sends before its first "a".
  std::optional<std::array<uint8_t, 2>> Message;
  // Both directions of the line at this rate, 10 bits per byte (38400 as a
  // real line), for every board; 0: at once.
  uint32_t LineRate = 0;
  // The device powers up again whenever the program closes its port.
  bool PowerCycleOnClose = false;
  // The next board after this many start bytes in a row no loader answered.
  std::optional<uint64_t> NextBoardAfterStartBytes;
  std::chrono::milliseconds ReplugPause{1000};
  // With LineRate: the replies reach the program in pieces of up to this
  // many bytes, as a USB adapter hands them over; 0: byte by byte.
  uint32_t AdapterPieces = 0;
  // Boards put on the line one per power cycle after the one above; after
  // the last the line stays empty. Empty: power cycles keep the one board.
  std::vector<sim::BoardSettings> NextBoards;
};

// The simulated device on a pseudo-terminal, reachable as COM<n> through
// UPDATER_COM<n> while it runs. It expects the upload files of the folder,
// and keeps its port's link there.
class SimulatedDevice {
 public:
  explicit SimulatedDevice(const WorkFolder& folder, DeviceSetup setup = {});
  SimulatedDevice(const std::string& folder, DeviceSetup setup);
  ~SimulatedDevice();
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // Starts the device and points UPDATER_COM<comPort> at it; false with
  // `error` set when it cannot run.
  bool Start(int comPort, std::string* error);
  void Stop();

  sim::PtyDevice& Pty() { return *pty_; }
  sim::Flash ReadFlash() const { return pty_->ReadFlash(); }
  // The device file COM<n> stands for: a link in the folder that follows the
  // port when the adapter is plugged back in.
  const std::string& Port() const { return link_; }
  // What the device reported doing, in order (upload checked, erases, ...).
  std::vector<std::string> Events() const;
  bool SawEvent(std::string_view prefix) const;
  // Board n's flash as it was when it last powered down (a power cycle, the
  // next board, the end of the run); nothing before that.
  std::optional<sim::Flash> PoweredDownFlash(int board) const;
  // CPU seconds the device's own thread has used; 0 when it does not run.
  double CpuSeconds();

 private:
  std::unique_ptr<sim::PtyDevice> pty_;
  std::string folder_;
  std::string link_;
  std::string problem_;
  int comPort_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::map<int, sim::Flash> poweredDown_;
};

// --- Expected flashes

// The flash after `image` has been programmed into `sectors` (ascending):
// the image's bytes fill them one after another, 0xFF fills the rest of each.
sim::Flash FlashAfterProgramming(sim::Flash before, const Bytes& image,
                                 const std::vector<int>& sectors);

// First differing address of two flashes, or nothing when they are equal.
std::optional<uint32_t> FirstDifference(const sim::Flash& actual, const sim::Flash& expected);

}  // namespace rig
