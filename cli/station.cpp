#include "station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/identity_store.h"
#include "firmware/flash_part.h"
#include "port_job.h"
#include "report.h"
#include "store/record_store.h"

namespace {

using Clock = std::chrono::steady_clock;

// The sector that holds the identity block is the one whose programming
// uses up a new board's serial number.
const uint32_t IdentityAddress = DevicePart().IdentityAddress;

// The sector of the part that holds `address`; -1 for none.
int32_t SectorHolding(uint32_t address) {
  uint32_t start = 0;
  const FlashPart& part = DevicePart();
  for (int32_t sector = 0; sector < part.SectorCount(); ++sector) {
    const uint32_t size = part.SectorSizes[static_cast<size_t>(sector)];
    if (address >= start && address - start < size) return sector;
    start += size;
  }
  return -1;
}

// Ctrl-C and SIGTERM as the handler counts them: the first stops the waits,
// the second cancels the boards in progress.
std::atomic<int> stopRequests{0};
// How often a pause looks for a stop request.
constexpr std::chrono::milliseconds PausePeriod{50};
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int signalNumber) {
  RequestStationStop(signalNumber);
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::optional<uint32_t> SerialOf(const PortOutcome& outcome) {
  for (const auto* identity : {&outcome.IdentityWritten, &outcome.IdentityBefore}) {
    if (*identity && (*identity)->SerialNumberFound) return (*identity)->SerialNumber;
  }
  return std::nullopt;
}

// The serial-number counter of --new-identity, shared by the ports.
class SerialCounter {
 public:
  SerialCounter(RecordStore& store, const StationSettings& settings)
      : store_(&store), settings_(settings) {}
  SerialReservation Reserve() {
    std::lock_guard lock(mutex_);
    return store_->ReserveSerial(settings_.Product, settings_.SerialFrom, settings_.SerialTo);
  }
  bool MarkUsed(uint32_t serial, std::string* why) {
    std::lock_guard lock(mutex_);
    return store_->MarkSerialUsed(settings_.Product, serial, why);
  }
  bool Release(uint32_t serial, std::string* why) {
    std::lock_guard lock(mutex_);
    return store_->ReleaseSerial(settings_.Product, serial, why);
  }

 private:
  std::mutex mutex_;
  RecordStore* store_;
  const StationSettings& settings_;
};

// What one port's loop did.
struct PortRun {
  ExitCode Code = ExitCode::Success;
  bool Cancelled = false;  // a board in progress was cancelled
};

// A new board's number on its way: reserved, then used once its identity
// sector is being programmed, else given back.
struct Reservation {
  std::optional<uint32_t> Serial;
  bool Used = false;
};

class PortLoop {
 public:
  PortLoop(const StationSettings& settings, size_t index, int slot, Console& console,
           SerialCounter* counter)
      : settings_(settings),
        port_(settings.Ports[index]),
        slot_(slot),
        console_(console),
        counter_(counter) {}

  PortRun Run() {
    BoardWait wait;
    wait.Stop = [] { return stopRequests.load() > 0; };
    wait.Cancel = [] { return stopRequests.load() > 1; };
    wait.Repeat = settings_.StartRepeat;
    wait.Note = [this](const std::string& line) { console_.Note(line); };
    wait.Arrived = [this] { console_.JobStarted(slot_, "update"); };
    int boards = 0;
    while (settings_.Count == 0 || boards < settings_.Count) {
      if (stopRequests.load() > 0) break;
      console_.BoardWaiting(slot_);
      Reservation reservation;
      PortRequest request;
      request.What = Command::Update;
      request.Image = settings_.Image;
      request.Wait = &wait;
      request.Screen = [&](const std::optional<DeviceIdentity>& identity) {
        return Screen(identity, reservation);
      };
      request.SectorProgramming = [&](int32_t /*sector*/, uint32_t start, uint32_t end) {
        if (!reservation.Serial || reservation.Used) return;
        if (start > IdentityAddress || IdentityAddress >= end) return;
        // From now on a board may carry the number: it is never given out
        // again, whatever happens to this board.
        reservation.Used = true;
        std::string why;
        if (!counter_->MarkUsed(*reservation.Serial, &why)) {
          console_.Error("warning: " + port_.Given + ": serial " +
                         std::to_string(*reservation.Serial) + " could not be marked used: " + why +
                         "; it stays reserved and is not given out again");
        }
      };
      PortOutcome outcome = RunOnPort(port_, settings_.Link, request, console_);
      if (reservation.Serial && !reservation.Used) {
        std::string why;
        if (!counter_->Release(*reservation.Serial, &why)) {
          console_.Error("warning: " + port_.Given + ": serial " +
                         std::to_string(*reservation.Serial) + " could not be given back: " + why);
        }
      }
      if (!outcome.BoardAnswered) break;  // stopped while waiting
      // The port stays closed a moment, so that the line sees it closed (a
      // rig that powers its board with the port's lines powers it down).
      for (auto paused = std::chrono::milliseconds(0);
           paused < settings_.StartRepeat && stopRequests.load() == 0; paused += PausePeriod) {
        std::this_thread::sleep_for(PausePeriod);
      }
      if (outcome.Skipped) {
        console_.JobFinished(slot_, "update", "skipped", 0, "null");
        console_.Note(port_.Given + ": serial " + std::to_string(*lastPassed_) +
                      " was just updated on this port and is not updated again; power up the "
                      "next board");
        continue;
      }
      Finish(outcome);
      ++boards;
      if (outcome.Result.Failure == JobFailure::Cancelled) {
        run_.Cancelled = true;
        break;
      }
    }
    console_.Idle(slot_);
    return run_;
  }

 private:
  BoardVerdict Screen(const std::optional<DeviceIdentity>& identity, Reservation& reservation) {
    BoardVerdict verdict;
    if (identity && identity->SerialNumberFound) {
      const uint32_t serial = identity->SerialNumber;
      if (lastPassed_ && *lastPassed_ == serial) {
        verdict.What = BoardVerdict::Action::Skip;
        return verdict;
      }
      if (!settings_.ExpectSerials.empty() && settings_.ExpectSerials.count(serial) == 0) {
        verdict.What = BoardVerdict::Action::Refuse;
        verdict.Why = "serial " + std::to_string(serial) + " is not one of the serial numbers " +
                      "expected; nothing was erased";
      }
      return verdict;
    }
    if (identity || !settings_.NewIdentity) return verdict;
    // A new board: its first identity, with the next free number.
    const SerialReservation reserved = counter_->Reserve();
    if (reserved.Status != ReserveStatus::Reserved) {
      verdict.What = BoardVerdict::Action::Refuse;
      verdict.Why = (reserved.Status == ReserveStatus::Exhausted
                         ? "the serial numbers " + std::to_string(settings_.SerialFrom) + " to " +
                               std::to_string(settings_.SerialTo) + " are all given out"
                         : "no serial number for the new board: " + reserved.Reason) +
                    "; nothing was erased";
      return verdict;
    }
    reservation.Serial = reserved.Serial;
    DeviceIdentity fresh;
    fresh.ProductName = settings_.Product;
    fresh.HardwareVersion = settings_.HardwareVersion;
    fresh.BrandLabel = settings_.BrandLabel;
    fresh.SerialNumber = reserved.Serial;
    fresh.SerialNumberFound = true;
    verdict.NewIdentity = fresh;
    return verdict;
  }

  void Finish(const PortOutcome& outcome) {
    const bool pass = outcome.Code == ExitCode::Success;
    const std::optional<uint32_t> serial = SerialOf(outcome);
    const double seconds =
        std::chrono::duration<double>(Clock::now() - *outcome.BoardAnswered).count();
    if (pass) {
      lastPassed_ = serial;
    } else {
      run_.Code = MoreSevere(run_.Code, outcome.Code);
    }
    RunSummary one;
    one.Command = "update";
    one.Image = settings_.Image;
    one.Ports = {outcome};
    const nlohmann::ordered_json record =
        nlohmann::ordered_json::parse(ReportJson(one))["ports"][0];
    console_.JobFinished(slot_, "update", record.value("outcome", ""), ToInt(outcome.Code),
                         record.dump());
    console_.BoardFinished(slot_, pass, serial, seconds, pass ? std::string() : outcome.Message);
  }

  const StationSettings& settings_;
  const PortName& port_;
  const int slot_;
  Console& console_;
  SerialCounter* counter_;
  std::optional<uint32_t> lastPassed_;
  PortRun run_;
};

void PrintStationSummary(Console& console, const std::vector<PortName>& ports,
                         const std::vector<int>& slots) {
  size_t width = 7;
  for (const PortName& port : ports) width = std::max(width, port.Given.size());
  auto row = [&](const std::string& name, const std::string& passed, const std::string& failed,
                 const std::string& mean) {
    char line[512];
    std::snprintf(line, sizeof line, "%-*s  %6s  %6s  %12s", static_cast<int>(width), name.c_str(),
                  passed.c_str(), failed.c_str(), mean.c_str());
    console.Result(line);
  };
  row("PORT", "PASSED", "FAILED", "MEAN SECONDS");
  for (size_t i = 0; i < ports.size(); ++i) {
    const BoardCounters c = console.Counters(slots[i]);
    row(ports[i].Given, std::to_string(c.Passed), std::to_string(c.Failed),
        Seconds(c.MeanSeconds()));
  }
  const BoardCounters total = console.StationCounters();
  row("station", std::to_string(total.Passed), std::to_string(total.Failed),
      Seconds(total.MeanSeconds()));
}

}  // namespace

void RequestStationStop(int signalNumber) {
  stopSignal.store(signalNumber);
  stopRequests.fetch_add(1);
}

void ResetStationStop() {
  stopRequests.store(0);
  stopSignal.store(0);
}

bool ReadSerialList(const std::string& path, std::set<uint32_t>& serials, std::string* why) {
  std::ifstream in(path);
  if (!in) {
    if (why) *why = "cannot read the serial-number list " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t");
    const std::string text = line.substr(first, last - first + 1);
    size_t used = 0;
    unsigned long value = 0;
    try {
      value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != text.size() || text[0] == '-' || value > UINT32_MAX) {
      if (why)
        *why = path + ", line " + std::to_string(number) + ": \"" + text + "\" is no serial number";
      return false;
    }
    serials.insert(static_cast<uint32_t>(value));
  }
  return true;
}

int RunStation(const StationSettings& settings, Console& console) {
  std::unique_ptr<SerialCounter> counter;
  if (settings.NewIdentity) {
    const int32_t identitySector = SectorHolding(IdentityAddress);
    const std::vector<int32_t>& sectors = settings.Image->Sectors;
    if (std::find(sectors.begin(), sectors.end(), identitySector) == sectors.end()) {
      console.Error("updater-cli: --new-identity: the image " + settings.Image->Path +
                    " does not program sector " + std::to_string(identitySector) +
                    ", which holds the identity: a new board would stay without one");
      return ToInt(ExitCode::ImageRefused);
    }
    // The records' store: the line database (--db or UPDATER_DB) when one
    // is named, so that stations never hand out one number twice.
    if (!settings.Link.Store) {
      console.Error(
          "updater-cli: --new-identity: the serial-number counter is in the record "
          "store, which could not be opened");
      return ToInt(ExitCode::FileError);
    }
    counter = std::make_unique<SerialCounter>(*settings.Link.Store, settings);
  }

  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#ifdef SIGHUP
  std::signal(SIGHUP, OnStopSignal);
#endif

  std::vector<int> slots;
  for (const PortName& port : settings.Ports) slots.push_back(console.AddPort(port.Given));
  std::vector<PortRun> runs(settings.Ports.size());
  std::vector<std::thread> threads;
  std::atomic<size_t> ended{0};
  for (size_t i = 0; i < settings.Ports.size(); ++i) {
    threads.emplace_back([&, i] {
      PortLoop loop(settings, i, slots[i], console, counter.get());
      runs[i] = loop.Run();
      ended.fetch_add(1);
    });
  }
  // The operator hears at once what a Ctrl-C did; the handler itself may
  // not print.
  int told = 0;
  while (ended.load() < threads.size()) {
    std::this_thread::sleep_for(PausePeriod);
    const int requests = stopRequests.load();
    if (requests == told) continue;
    told = requests;
    console.Error(requests == 1 ? "updater-cli station: stopping: the boards in progress are "
                                  "finished, no new board is taken; Ctrl-C again cancels them"
                                : "updater-cli station: cancelling the boards in progress");
  }
  for (std::thread& thread : threads) thread.join();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
#ifdef SIGHUP
  std::signal(SIGHUP, SIG_DFL);
#endif

  console.EndLive();
  PrintStationSummary(console, settings.Ports, slots);
  ExitCode code = ExitCode::Success;
  bool cancelled = false;
  for (const PortRun& run : runs) {
    code = MoreSevere(code, run.Code);
    cancelled = cancelled || run.Cancelled;
  }
  if (cancelled) return 128 + (stopSignal.load() != 0 ? stopSignal.load() : SIGINT);
  return ToInt(code);
}
