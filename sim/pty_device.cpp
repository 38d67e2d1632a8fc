#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "pacer.h"

namespace sim {

namespace {

constexpr std::size_t ReadChunk = 4096;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Replaces an old link of ours but never a real file someone else owns.
bool MakeLink(const std::string& target, const std::string& link, std::string* error) {
  struct stat info {};
  if (::lstat(link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      if (error) *error = link + ": exists and is not a symbolic link";
      return false;
    }
    ::unlink(link.c_str());
  }
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    if (error) *error = SystemError(link);
    return false;
  }
  return true;
}

// Removes the link only while it still points at our terminal; another
// simulator may have taken the name over meanwhile.
void RemoveLink(const std::string& target, const std::string& link) {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (n > 0 && std::string(buffer.data(), static_cast<std::size_t>(n)) == target) {
    ::unlink(link.c_str());
  }
}

// A raw line, so that nothing the device sends is echoed back to it or
// turned into something else before the program sets the port up itself.
bool MakeRaw(int fd) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return false;
  ::cfmakeraw(&settings);
  ::cfsetispeed(&settings, B38400);
  ::cfsetospeed(&settings, B38400);
  return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

timespec ToTimespec(std::chrono::nanoseconds delay) {
  if (delay.count() < 0) delay = std::chrono::nanoseconds(0);
  timespec t{};
  t.tv_sec = static_cast<time_t>(delay.count() / 1'000'000'000);
  t.tv_nsec = static_cast<long>(delay.count() % 1'000'000'000);
  return t;
}

}  // namespace

PtyDevice::PtyDevice(DeviceConfig config, Flash flash, PtyOptions options)
    : model_(std::move(config), std::move(flash)), options_(std::move(options)) {}

PtyDevice::PtyDevice(DeviceConfig config, std::vector<Board> boards, PtyOptions options)
    : model_(std::move(config), boards.empty() ? Flash() : std::move(boards.front().Memory)),
      options_(std::move(options)),
      boards_(std::move(boards)) {
  if (boards_.empty()) boards_.emplace_back();
  model_.Note("board 1 on the line: " + boards_.front().Label);
  model_.SetFaults(boards_.front().Faults);
  model_.SetPresent(boards_.front().Present);
}

PtyDevice::~PtyDevice() {
  Stop();
}

bool PtyDevice::OpenLine(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    CloseLine();
    return false;
  };
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail(SystemError("posix_openpt"));
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail(SystemError("unlockpt"));
  char name[256];
  if (::ptsname_r(master_, name, sizeof name) != 0) return fail(SystemError("ptsname"));
  {
    std::lock_guard lock(mutex_);
    slavePath_ = name;
  }
  // Held open while the program has not opened its port: without it the
  // master sees a hang-up each time the program closes its port, and data
  // for a reopened port is lost. Watching for the program's close, the
  // runner lets go of it once the program is there.
  heldSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (heldSlave_ < 0) return fail(SystemError(name));
  if (!MakeRaw(heldSlave_)) return fail(SystemError("tcsetattr"));
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(SystemError("fcntl"));
  }
  return true;
}

bool PtyDevice::Start(std::string* error) {
  if (running_ || runner_.joinable()) {
    if (error) *error = "already started";
    return false;
  }
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    CloseLine();
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    return false;
  };
  std::string why;
  if (!OpenLine(&why)) return fail(why);
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) return fail(SystemError("pipe"));
  wakeRead_ = pipeEnds[0];
  wakeWrite_ = pipeEnds[1];
  if (!options_.TranscriptPath.empty() && !transcript_.Open(options_.TranscriptPath, &why)) {
    return fail(why);
  }
  if (!options_.LinkPath.empty()) {
    if (!MakeLink(SlavePath(), options_.LinkPath, &why)) {
      transcript_.Close();
      return fail(why);
    }
    linkMade_ = true;
  }
  stopRequested_ = false;
  stopPowerDownDone_ = false;
  running_ = true;
  runner_ = std::thread([this] { Run(); });
  return true;
}

void PtyDevice::Stop() {
  stopRequested_ = true;
  Wake();
  const bool ran = runner_.joinable();
  if (ran) runner_.join();
  running_ = false;
  CloseLine();
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
  if (linkMade_) RemoveLink(SlavePath(), options_.LinkPath);
  linkMade_ = false;
  transcript_.Close();
  // The end of the run powers the board on the line down.
  std::optional<PoweredDown> down;
  {
    std::lock_guard lock(mutex_);
    if (ran && !stopPowerDownDone_ && model_.Present() && options_.OnPowerDown) {
      down = PoweredDown{boardNumber_, model_.FlashMemory()};
    }
    stopPowerDownDone_ = true;
  }
  Deliver(down);
}

void PtyDevice::CloseLine() {
  CloseFd(master_);
  CloseFd(heldSlave_);
}

void PtyDevice::Wake() {
  if (wakeWrite_ < 0) return;
  const char nudge = 1;
  // A full pipe already holds a wake-up; nothing is lost when this fails.
  [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &nudge, 1);
}

std::string PtyDevice::SlavePath() const {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

Flash PtyDevice::ReadFlash() const {
  std::lock_guard lock(mutex_);
  return model_.FlashMemory();
}

void PtyDevice::ReplaceFlash(Flash flash) {
  std::lock_guard lock(mutex_);
  model_.FlashMemory() = std::move(flash);
}

void PtyDevice::WithFlash(const std::function<void(Flash&)>& work) {
  std::lock_guard lock(mutex_);
  work(model_.FlashMemory());
}

void PtyDevice::SetFaults(Faults faults) {
  {
    std::lock_guard lock(mutex_);
    model_.SetFaults(std::move(faults));
  }
  Wake();
}

Faults PtyDevice::CurrentFaults() const {
  std::lock_guard lock(mutex_);
  return model_.CurrentFaults();
}

std::optional<PtyDevice::PoweredDown> PtyDevice::PowerCycleLocked(bool clearFaults) {
  std::optional<PoweredDown> down;
  if (model_.Present() && options_.OnPowerDown) {
    down = PoweredDown{boardNumber_, model_.FlashMemory()};
  }
  ++powerCycles_;
  if (boards_.empty()) {
    model_.PowerCycle(clearFaults);
    return down;
  }
  if (model_.Present()) lastFlash_ = model_.FlashMemory();
  ++boardNumber_;
  if (nextBoard_ < boards_.size()) {
    Board& next = boards_[nextBoard_++];
    model_.FlashMemory() = next.SameAsBefore ? lastFlash_ : std::move(next.Memory);
    model_.SetFaults(next.Faults);
    model_.SetPresent(next.Present);
    if (next.Replug) replugRequested_ = true;
    model_.Note("board " + std::to_string(boardNumber_) + " on the line: " + next.Label);
  } else {
    model_.FlashMemory() = Flash();
    model_.SetFaults(Faults{});
    model_.SetPresent(false);
    model_.Note("no more boards: the line stays empty");
  }
  model_.PowerCycle(false);
  return down;
}

void PtyDevice::Deliver(std::optional<PoweredDown>& down) {
  if (down && options_.OnPowerDown) options_.OnPowerDown(down->Board, down->Memory);
  down.reset();
}

void PtyDevice::PowerCycle(bool clearFaults) {
  std::optional<PoweredDown> down;
  uint64_t cycle = 0;
  {
    std::lock_guard lock(mutex_);
    down = PowerCycleLocked(clearFaults);
    cycle = powerCycles_;
  }
  Deliver(down);
  Wake();
  // Back once the runner has taken it in: what the program sends from now
  // on reaches the powered-up chip, and nothing sent before does.
  std::unique_lock lock(mutex_);
  caughtUp_.wait_for(lock, std::chrono::seconds(1),
                     [&] { return !running_ || wirePulled_ || powerCyclesTaken_ >= cycle; });
}

void PtyDevice::Replug() {
  replugRequested_ = true;
  Wake();
}

void PtyDevice::PullWire() {
  pullRequested_ = true;
  Wake();
  if (!running_) {
    CloseLine();
    wirePulled_ = true;
  }
}

int PtyDevice::BoardNumber() const {
  std::lock_guard lock(mutex_);
  return boardNumber_;
}

bool PtyDevice::BoardPresent() const {
  std::lock_guard lock(mutex_);
  return model_.Present();
}

UploadState PtyDevice::Upload() const {
  std::lock_guard lock(mutex_);
  return model_.Upload();
}

std::string PtyDevice::UploadProblem() const {
  std::lock_guard lock(mutex_);
  return model_.UploadProblem();
}

bool PtyDevice::WaitingForCommand() const {
  std::lock_guard lock(mutex_);
  return model_.WaitingForCommand();
}

uint64_t PtyDevice::BytesSent() const {
  std::lock_guard lock(mutex_);
  return model_.BytesSent();
}

uint64_t PtyDevice::BytesReceived() const {
  std::lock_guard lock(mutex_);
  return model_.BytesReceived();
}

uint64_t PtyDevice::UnansweredStartBytes() const {
  std::lock_guard lock(mutex_);
  return model_.UnansweredStartBytes();
}

bool PtyDevice::RunnerCpuClock(clockid_t* clock) {
  return runner_.joinable() && ::pthread_getcpuclockid(runner_.native_handle(), clock) == 0;
}

bool PtyDevice::ReopenHeldSlave() {
  heldSlave_ = ::open(SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (heldSlave_ < 0) return false;
  MakeRaw(heldSlave_);
  return true;
}

// The pause of a pulled adapter, then a new terminal behind the same link.
bool PtyDevice::PlugBackIn(std::vector<std::string>& events) {
  const auto back = std::chrono::steady_clock::now() + options_.ReplugPause;
  while (!stopRequested_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= back) break;
    pollfd wake{wakeRead_, POLLIN, 0};
    const timespec timeout = ToTimespec(back - now);
    if (::ppoll(&wake, 1, &timeout, nullptr) > 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
  }
  if (stopRequested_) return false;
  std::string error;
  if (!OpenLine(&error)) {
    events.push_back("the adapter cannot be plugged back in: " + error);
    return false;
  }
  if (!options_.LinkPath.empty()) {
    linkMade_ = MakeLink(SlavePath(), options_.LinkPath, &error);
    if (!linkMade_) events.push_back("link not made again: " + error);
  }
  ++replugs_;
  events.push_back("adapter plugged back in: port " + SlavePath());
  return true;
}

void PtyDevice::Run() {
  std::vector<uint8_t> input(ReadChunk);
  std::vector<uint8_t> pending;  // device output not yet on the line
  std::size_t pendingStart = 0;
  // Output that waits for the device to finish an operation (an erase at
  // work): nothing from index At of `pending` on goes out before Until.
  struct Held {
    std::size_t At = 0;
    Pacer::Clock::time_point Until;
  };
  std::vector<Held> held;
  std::vector<uint8_t> replies;
  std::vector<std::string> events;
  std::optional<PoweredDown> down;
  uint64_t powerCyclesSeen = powerCycles_;
  Pacer output;
  Pacer intake;  // the program's bytes, as the line would bring them
  bool intakeIdle = true;
  uint32_t outputRate = 0;
  uint32_t intakeRate = 0;
  bool hangUpDue = false;
  // Watching for the program's close: true while the program holds the port
  // and we do not.
  const bool watchClose = options_.PowerCycleOnClose;
  bool programHolds = false;

  auto deliverEvents = [&] {
    for (const std::string& text : events) {
      transcript_.Note(text);
      if (options_.OnEvent) options_.OnEvent(text);
    }
    events.clear();
    Deliver(down);
  };
  auto dropPending = [&] {
    pending.clear();
    pendingStart = 0;
    held.clear();
  };
  // Bytes of `pending` that may go out now, holds considered; when a hold
  // keeps them all back, `wake` is the moment it ends.
  auto unheld = [&](Pacer::Clock::time_point now,
                    std::optional<Pacer::Clock::time_point>* wake) -> std::size_t {
    while (!held.empty() && now >= held.front().Until) {
      // The reply goes out as the operation ends, not as a late burst.
      if (held.front().At <= pendingStart) output.BurstStarts(now);
      held.erase(held.begin());
    }
    const std::size_t end =
        held.empty() ? pending.size() : std::min(held.front().At, pending.size());
    const std::size_t count = end > pendingStart ? end - pendingStart : 0;
    if (count == 0 && wake != nullptr && !held.empty() && pending.size() > pendingStart) {
      *wake = held.front().Until;
    }
    return count;
  };
  // With mutex_ held.
  // Called with mutex_ held.
  auto catchUpWithPowerCycles = [&] {
    if (powerCycles_ != powerCyclesSeen) {
      powerCyclesSeen = powerCycles_;
      dropPending();
      // What the program sent before the power-up reached a chip that was
      // off: a stale zero among it would pass for the next start byte.
      uint8_t sink[256];
      for (int i = 0; i < 64 && master_ >= 0 && ::read(master_, sink, sizeof sink) > 0; ++i) {
      }
      powerCyclesTaken_ = powerCyclesSeen;
      caughtUp_.notify_all();
    }
  };
  auto syncWithModel = [&] {
    std::lock_guard lock(mutex_);
    catchUpWithPowerCycles();
    const Faults& faults = model_.CurrentFaults();
    if (faults.BitRate != outputRate) {
      outputRate = faults.BitRate;
      output.SetBitRate(outputRate);
      output.SetPieces(options_.AdapterPieces);
    }
    if (faults.InputBitRate != intakeRate) {
      intakeRate = faults.InputBitRate;
      intake.SetBitRate(intakeRate);
      intakeIdle = true;
    }
    hangUpDue = model_.HangUpDue();
    for (std::string& text : model_.TakeEvents()) events.push_back(std::move(text));
  };
  // Writes what the pacer allows now; returns false when the line is gone.
  auto writePending = [&]() -> bool {
    const std::size_t waiting = unheld(Pacer::Clock::now(), nullptr);
    if (waiting == 0) return true;
    const std::size_t allowed = output.Allowance(Pacer::Clock::now(), waiting, nullptr);
    if (allowed == 0) return true;
    const ssize_t n = ::write(master_, pending.data() + pendingStart, allowed);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    transcript_.Record(Direction::DeviceToHost,
                       std::span(pending.data() + pendingStart, static_cast<std::size_t>(n)));
    output.Sent(static_cast<std::size_t>(n));
    pendingStart += static_cast<std::size_t>(n);
    if (pendingStart == pending.size()) dropPending();
    return true;
  };
  auto pullWire = [&](const std::string& why) {
    CloseLine();
    wirePulled_ = true;
    events.push_back(why);
  };
  // The adapter out and, after the pause, in again; false when the run ends.
  auto replug = [&]() -> bool {
    CloseLine();
    if (linkMade_) RemoveLink(SlavePath(), options_.LinkPath);
    linkMade_ = false;
    dropPending();
    programHolds = false;
    events.push_back("adapter pulled: the port is gone for " +
                     std::to_string(options_.ReplugPause.count()) + " ms");
    deliverEvents();
    const bool back = PlugBackIn(events);
    deliverEvents();
    return back;
  };
  // The program has closed its port: the device powers up again.
  auto programClosed = [&]() -> bool {
    programHolds = false;
    {
      std::lock_guard lock(mutex_);
      model_.Note("port closed by the program: power cycle");
      down = PowerCycleLocked(false);
      catchUpWithPowerCycles();
    }
    syncWithModel();
    // Held again, so that the master sees no hang-up until the next close.
    // A program that ended without giving up its exclusive hold keeps
    // everyone out of this terminal; a new one behind the link takes over.
    if (!ReopenHeldSlave()) {
      events.push_back(SystemError("the port cannot be opened again") + "; making a new one");
      return replug();
    }
    return true;
  };

  while (!stopRequested_) {
    syncWithModel();
    deliverEvents();
    if (pullRequested_) {
      pullWire("download wire pulled");
      break;
    }
    // The bytes before the hang-up point were sent; then the line goes.
    if (hangUpDue && pending.size() == pendingStart) {
      pullWire("line closed: hang-up fault");
      break;
    }
    if (replugRequested_.exchange(false)) {
      if (!replug()) break;
      continue;
    }

    pollfd fds[2] = {{master_, 0, 0}, {wakeRead_, POLLIN, 0}};
    const auto now = Pacer::Clock::now();
    std::optional<Pacer::Clock::time_point> wake;
    // The program's bytes are taken only as fast as the line would bring them.
    if (Pacer::Clock::time_point next;
        intake.Active() && !intakeIdle && intake.Allowance(now, ReadChunk, &next) == 0) {
      wake = next;
    } else {
      fds[0].events |= POLLIN;
    }
    std::optional<Pacer::Clock::time_point> holdEnds;
    const std::size_t waiting = unheld(now, &holdEnds);
    if (holdEnds && (!wake || *holdEnds < *wake)) wake = holdEnds;
    if (waiting > 0) {
      Pacer::Clock::time_point next;
      if (output.Allowance(now, waiting, &next) > 0) {
        fds[0].events |= POLLOUT;
      } else if (!wake || next < *wake) {
        wake = next;
      }
    }
    timespec timeout{};
    if (wake) timeout = ToTimespec(*wake - now);
    if (::ppoll(fds, 2, wake ? &timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      events.push_back(SystemError("poll"));
      break;
    }
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents & POLLNVAL) break;
    bool closed = (fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN);
    if (fds[0].revents & POLLIN) {
      std::size_t room = input.size();
      if (intake.Active()) {
        if (intakeIdle) intake.BurstStarts(Pacer::Clock::now());
        room = std::min(room, intake.Allowance(Pacer::Clock::now(), room, nullptr));
        // The line still carries the byte before: wait for its end.
        if (room == 0) intakeIdle = false;
      }
      const ssize_t n = room == 0 ? 0 : ::read(master_, input.data(), room);
      if (n < 0 && errno == EIO) closed = true;
      if (n > 0) {
        if (watchClose && !programHolds) {
          // The program is there: from now on its close is the last one.
          CloseFd(heldSlave_);
          programHolds = true;
        }
        if (intake.Active()) {
          intake.Sent(static_cast<std::size_t>(n));
          intakeIdle = static_cast<std::size_t>(n) < room;
        }
        const std::span<const uint8_t> chunk(input.data(), static_cast<std::size_t>(n));
        transcript_.Record(Direction::HostToDevice, chunk);
        replies.clear();
        std::vector<DeviceModel::Hold> holds;
        const auto fedAt = Pacer::Clock::now();
        {
          std::lock_guard lock(mutex_);
          // A power cycle in between voids what the old run still had queued,
          // and this chunk was on the line before it.
          const bool beforePowerUp = powerCycles_ != powerCyclesSeen;
          catchUpWithPowerCycles();
          if (!beforePowerUp) model_.Feed(chunk, replies);
          holds = model_.TakeHolds();
          const auto& after = options_.NextBoardAfterStartBytes;
          if (after && model_.UnansweredStartBytes() >= *after) {
            model_.Note("no loader answered " + std::to_string(*after) +
                        " start bytes: the next board");
            down = PowerCycleLocked(false);
            catchUpWithPowerCycles();
            replies.clear();
            holds.clear();
          }
        }
        if (!replies.empty()) {
          if (pending.size() == pendingStart) output.BurstStarts(Pacer::Clock::now());
          for (const DeviceModel::Hold& hold : holds) {
            held.push_back({pending.size() + hold.Offset,
                            std::max(fedAt, held.empty() ? fedAt : held.back().Until) +
                                std::chrono::milliseconds(hold.Ms)});
          }
          pending.insert(pending.end(), replies.begin(), replies.end());
        }
      }
    }
    if (closed) {
      if (watchClose && programHolds) {
        if (!programClosed()) break;
        continue;
      }
      // Nobody else can close the line while we hold the slave.
      pullWire("line closed");
      break;
    }
    // Answer at once: the replies go out in the same turn as the request.
    if (!writePending()) {
      pullWire(SystemError("write to the line"));
      break;
    }
  }
  syncWithModel();
  deliverEvents();
  running_ = false;
}

}  // namespace sim
