#include "pty_baseline.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

class PtyPair {
 public:
  PtyPair() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
  }
  ~PtyPair() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  int Master() const { return master_; }
  int Slave() const { return slave_; }

 private:
  int master_ = -1;
  int slave_ = -1;
};

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 2000) > 0 && (p.revents & POLLIN);
}

// The device side answers every byte with `replyBytes` bytes; the host side
// (the slave, where the program would sit) waits for the whole answer.
double RoundTripUs(int roundTrips, int replyBytes) {
  PtyPair pty;
  if (!pty.Ok()) return 0;
  std::thread device([&] {
    const uint8_t reply[3] = {0x12, 0x34, 'g'};
    uint8_t in[64];
    for (int i = 0; i < roundTrips; ++i) {
      if (!WaitReadable(pty.Master())) return;
      if (::read(pty.Master(), in, sizeof in) <= 0) return;
      if (::write(pty.Master(), reply, static_cast<size_t>(replyBytes)) != replyBytes) return;
    }
  });
  const auto start = Clock::now();
  int done = 0;
  for (; done < roundTrips; ++done) {
    const uint8_t request = '3';
    if (::write(pty.Slave(), &request, 1) != 1) break;
    int got = 0;
    uint8_t in[64];
    while (got < replyBytes && WaitReadable(pty.Slave())) {
      const ssize_t n = ::read(pty.Slave(), in, sizeof in);
      if (n > 0) got += static_cast<int>(n);
    }
    if (got < replyBytes) break;
  }
  const auto end = Clock::now();
  device.join();
  if (done == 0) return 0;
  return std::chrono::duration<double, std::micro>(end - start).count() / done;
}

double WriteUsPerByte(int writes) {
  PtyPair pty;
  if (!pty.Ok()) return 0;
  std::atomic<bool> stop{false};
  std::thread drain([&] {
    uint8_t in[4096];
    while (!stop.load()) {
      pollfd p{pty.Master(), POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) (void)!::read(pty.Master(), in, sizeof in);
    }
  });
  const auto start = Clock::now();
  for (int i = 0; i < writes; ++i) {
    const auto value = static_cast<uint8_t>(i);
    while (::write(pty.Slave(), &value, 1) != 1) {
      pollfd p{pty.Slave(), POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
  const auto end = Clock::now();
  stop.store(true);
  drain.join();
  return std::chrono::duration<double, std::micro>(end - start).count() / writes;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

PtyBaseline MeasurePtyBaseline(int runs, int roundTrips, int writes) {
  std::vector<double> one;
  std::vector<double> three;
  std::vector<double> write;
  for (int run = 0; run < runs; ++run) {
    one.push_back(RoundTripUs(roundTrips, 1));
    three.push_back(RoundTripUs(roundTrips, 3));
    write.push_back(WriteUsPerByte(writes));
  }
  return {Median(one), Median(three), Median(write)};
}

}  // namespace bench
