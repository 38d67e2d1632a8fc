#include "device_rig.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/upload.h"

namespace rig {

namespace fs = std::filesystem;

std::string SourceFile(const std::string& relative) {
  return std::string(UPDATER_SOURCE_DIR) + "/" + relative;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// --- WorkFolder

WorkFolder::WorkFolder(const std::string& stem) {
  std::string pattern = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    problem_ = "cannot make a scratch folder from " + pattern;
    return;
  }
  path_ = pattern;
  for (const char* name : {"Loader.hex", "F29f160d.hex"}) {
    std::error_code error;
    fs::copy_file(SourceFile(std::string("demo/") + name), File(name), error);
    if (error) problem_ += std::string("cannot copy demo/") + name + ": " + error.message() + "; ";
  }
}

WorkFolder::~WorkFolder() {
  if (path_.empty()) return;
  std::error_code error;
  fs::remove_all(path_, error);
}

// --- SimulatedDevice

sim::DeviceIdentity DemoIdentity() {
  return sim::DeviceIdentity{"DEMO165", "1.0a", 4711u, "LABEL-7"};
}

sim::BoardSettings DemoBoard() {
  sim::BoardSettings board;
  board.Identity = DemoIdentity();
  return board;
}

SimulatedDevice::SimulatedDevice(const WorkFolder& folder, DeviceSetup setup)
    : SimulatedDevice(folder.Path(), std::move(setup)) {}

SimulatedDevice::SimulatedDevice(const std::string& folder, DeviceSetup setup) : folder_(folder) {
  sim::DeviceConfig config;
  std::string error;
  if (!sim::ReadUploadFile(folder + "/Loader.hex", config.Loader, &error) ||
      !sim::ReadUploadFile(folder + "/F29f160d.hex", config.Routine, &error)) {
    problem_ = "upload files: " + error;
  }
  config.Message = setup.Message;
  auto paced = [&setup](sim::Faults faults) {
    if (setup.LineRate != 0 && faults.BitRate == 0 && faults.InputBitRate == 0) {
      faults.BitRate = faults.InputBitRate = setup.LineRate;
    }
    return faults;
  };
  sim::BoardSettings first;
  first.Identity = setup.Identity;
  first.NoIdentity = setup.NoIdentity;
  first.PatternSectors = setup.PatternSectors;
  first.Faults = paced(setup.Faults);
  sim::Board board = sim::MakeBoard(first);
  if (setup.Flash) board.Memory = std::move(*setup.Flash);

  sim::PtyOptions options;
  options.OnEvent = [this](const std::string& text) {
    std::lock_guard lock(mutex_);
    events_.push_back(text);
  };
  options.OnPowerDown = [this](int number, const sim::Flash& flash) {
    std::lock_guard lock(mutex_);
    poweredDown_.insert_or_assign(number, flash);
  };
  options.PowerCycleOnClose = setup.PowerCycleOnClose;
  options.NextBoardAfterStartBytes = setup.NextBoardAfterStartBytes;
  options.ReplugPause = setup.ReplugPause;
  options.AdapterPieces = setup.AdapterPieces;
  if (setup.NextBoards.empty()) {
    config.InitialFaults = board.Faults;
    pty_ = std::make_unique<sim::PtyDevice>(std::move(config), std::move(board.Memory),
                                            std::move(options));
    return;
  }
  std::vector<sim::Board> boards;
  boards.push_back(std::move(board));
  for (sim::BoardSettings next : setup.NextBoards) {
    next.Faults = paced(next.Faults);
    boards.push_back(sim::MakeBoard(next));
  }
  pty_ = std::make_unique<sim::PtyDevice>(std::move(config), std::move(boards), std::move(options));
}

SimulatedDevice::~SimulatedDevice() {
  Stop();
}

bool SimulatedDevice::Start(int comPort, std::string* error) {
  if (!problem_.empty()) {
    if (error) *error = problem_;
    return false;
  }
  // The program reaches the device through a link, as it reaches an adapter
  // by its lasting name: it stays when the adapter is plugged back in.
  link_ = folder_ + "/COM" + std::to_string(comPort);
  pty_->SetLinkPath(link_);
  if (!pty_->Start(error)) return false;
  comPort_ = comPort;
  const std::string variable = "UPDATER_COM" + std::to_string(comPort);
  ::setenv(variable.c_str(), link_.c_str(), 1);
  return true;
}

void SimulatedDevice::Stop() {
  pty_->Stop();
  if (comPort_ != 0) {
    const std::string variable = "UPDATER_COM" + std::to_string(comPort_);
    ::unsetenv(variable.c_str());
    comPort_ = 0;
  }
}

std::vector<std::string> SimulatedDevice::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

bool SimulatedDevice::SawEvent(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  return std::any_of(events_.begin(), events_.end(),
                     [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

std::optional<sim::Flash> SimulatedDevice::PoweredDownFlash(int board) const {
  std::lock_guard lock(mutex_);
  const auto found = poweredDown_.find(board);
  if (found == poweredDown_.end()) return std::nullopt;
  return found->second;
}

double SimulatedDevice::CpuSeconds() {
  clockid_t clock{};
  timespec t{};
  if (!pty_->RunnerCpuClock(&clock) || ::clock_gettime(clock, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// --- Expected flashes

sim::Flash FlashAfterProgramming(sim::Flash before, const Bytes& image,
                                 const std::vector<int>& sectors) {
  auto bytes = before.MutableBytes();
  size_t next = 0;
  for (const int sector : sectors) {
    for (uint32_t a = sim::SectorTable[sector]; a < sim::SectorTable[sector + 1]; ++a) {
      bytes[a] = next < image.size() ? image[next++] : 0xFF;
    }
  }
  return before;
}

std::optional<uint32_t> FirstDifference(const sim::Flash& actual, const sim::Flash& expected) {
  const auto a = actual.Bytes();
  const auto e = expected.Bytes();
  const auto [at, _] = std::mismatch(a.begin(), a.end(), e.begin(), e.end());
  if (at == a.end()) return std::nullopt;
  return static_cast<uint32_t>(at - a.begin());
}

}  // namespace rig
