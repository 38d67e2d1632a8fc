#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace

PtyDevice::PtyDevice(DeviceConfig config, Flash flash, PtyOptions options)
    : model_(std::move(config), std::move(flash)), options_(std::move(options)) {}

PtyDevice::~PtyDevice() {
  Stop();
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
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail(SystemError("posix_openpt"));
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail(SystemError("unlockpt"));
  char name[256];
  if (::ptsname_r(master_, name, sizeof name) != 0) return fail(SystemError("ptsname"));
  slavePath_ = name;
  // Held open for the whole run: without it the master sees a hang-up each
  // time the program closes its port, and data for a reopened port is lost.
  heldSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (heldSlave_ < 0) return fail(SystemError(slavePath_));
  termios settings{};
  if (::tcgetattr(heldSlave_, &settings) != 0) return fail(SystemError("tcgetattr"));
  ::cfmakeraw(&settings);
  ::cfsetispeed(&settings, B38400);
  ::cfsetospeed(&settings, B38400);
  if (::tcsetattr(heldSlave_, TCSANOW, &settings) != 0) return fail(SystemError("tcsetattr"));
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(SystemError("fcntl"));
  }
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) return fail(SystemError("pipe"));
  wakeRead_ = pipeEnds[0];
  wakeWrite_ = pipeEnds[1];
  if (!options_.TranscriptPath.empty() && !transcript_.Open(options_.TranscriptPath, error)) {
    return fail(error ? *error : "transcript");
  }
  if (!options_.LinkPath.empty()) {
    std::string why;
    if (!MakeLink(slavePath_, options_.LinkPath, &why)) {
      transcript_.Close();
      return fail(why);
    }
    linkMade_ = true;
  }
  stopRequested_ = false;
  running_ = true;
  runner_ = std::thread([this] { Run(); });
  return true;
}

void PtyDevice::Stop() {
  stopRequested_ = true;
  Wake();
  if (runner_.joinable()) runner_.join();
  running_ = false;
  CloseLine();
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
  if (linkMade_) RemoveLink(slavePath_, options_.LinkPath);
  linkMade_ = false;
  transcript_.Close();
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

void PtyDevice::PowerCycle(bool clearFaults) {
  {
    std::lock_guard lock(mutex_);
    model_.PowerCycle(clearFaults);
    ++powerCycles_;
  }
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

void PtyDevice::Run() {
  std::vector<uint8_t> input(ReadChunk);
  std::vector<uint8_t> pending;  // device output not yet on the line
  std::size_t pendingStart = 0;
  std::vector<uint8_t> replies;
  std::vector<std::string> events;
  uint64_t powerCyclesSeen = powerCycles_;
  Pacer pacer;
  uint32_t bitRate = 0;
  bool hangUpDue = false;

  auto deliverEvents = [&] {
    for (const std::string& text : events) {
      transcript_.Note(text);
      if (options_.OnEvent) options_.OnEvent(text);
    }
    events.clear();
  };
  auto syncWithModel = [&] {
    std::lock_guard lock(mutex_);
    if (powerCycles_ != powerCyclesSeen) {
      powerCyclesSeen = powerCycles_;
      pending.clear();
      pendingStart = 0;
    }
    if (model_.CurrentFaults().BitRate != bitRate) {
      bitRate = model_.CurrentFaults().BitRate;
      pacer.SetBitRate(bitRate);
    }
    hangUpDue = model_.HangUpDue();
    for (std::string& text : model_.TakeEvents()) events.push_back(std::move(text));
  };
  // Writes what the pacer allows now; returns false when the line is gone.
  auto writePending = [&]() -> bool {
    const std::size_t waiting = pending.size() - pendingStart;
    if (waiting == 0) return true;
    const std::size_t allowed = pacer.Allowance(Pacer::Clock::now(), waiting, nullptr);
    if (allowed == 0) return true;
    const ssize_t n = ::write(master_, pending.data() + pendingStart, allowed);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    transcript_.Record(Direction::DeviceToHost,
                       std::span(pending.data() + pendingStart, static_cast<std::size_t>(n)));
    pacer.Sent(static_cast<std::size_t>(n));
    pendingStart += static_cast<std::size_t>(n);
    if (pendingStart == pending.size()) {
      pending.clear();
      pendingStart = 0;
    }
    return true;
  };
  auto pullWire = [&](const std::string& why) {
    CloseLine();
    wirePulled_ = true;
    events.push_back(why);
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

    pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    const std::size_t waiting = pending.size() - pendingStart;
    if (waiting > 0) {
      Pacer::Clock::time_point wake;
      const auto now = Pacer::Clock::now();
      if (pacer.Allowance(now, waiting, &wake) > 0) {
        fds[0].events |= POLLOUT;
      } else {
        const auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
        timeout.tv_sec = static_cast<time_t>(delay.count() / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(delay.count() % 1'000'000'000);
        timeoutPtr = &timeout;
      }
    }
    if (::ppoll(fds, 2, timeoutPtr, nullptr) < 0) {
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
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, input.data(), input.size());
      if (n > 0) {
        const std::span<const uint8_t> chunk(input.data(), static_cast<std::size_t>(n));
        transcript_.Record(Direction::HostToDevice, chunk);
        replies.clear();
        {
          std::lock_guard lock(mutex_);
          // A power cycle in between voids what the old run still had queued.
          if (powerCycles_ != powerCyclesSeen) {
            powerCyclesSeen = powerCycles_;
            pending.clear();
            pendingStart = 0;
          }
          model_.Feed(chunk, replies);
        }
        if (!replies.empty()) {
          if (pending.size() == pendingStart) pacer.BurstStarts(Pacer::Clock::now());
          pending.insert(pending.end(), replies.begin(), replies.end());
        }
      }
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
