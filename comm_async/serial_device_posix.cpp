// The serial device on POSIX systems (Linux): termios for the line, poll()
// for the events, an eventfd to wake a waiting watcher.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "platform/file_holders.h"
#include "platform/posix_error.h"
#include "serial_bit_rate.h"
#include "serial_device.h"

namespace {

// How often the watcher looks again while bytes that were already reported
// sit unread: the tty offers no "new bytes only" readiness, and waiting for
// POLLIN would fire at once for the old ones.
constexpr int StaleQueuePollMs = 3;
// How often it looks at the output queue until a write has drained.
constexpr int OutputDrainPollMs = 2;
// How often it compares the driver's line and modem counters.
constexpr int LineCounterPollMs = 25;
// Longest sleep of a write that finds the output queue full before it tries
// again.
constexpr int WriteRetrySliceMs = 2;

// Events that only the driver's interrupt counters can tell.
constexpr uint32_t CounterEvents = EvCts | EvDsr | EvRing | EvRlsd | EvBreak | EvErr;
// Line errors that make a wake-up an error event.
constexpr uint32_t LineErrors = CeFrame | CeOverrun | CeRxParity | CeRxOver;
// Bytes fetched from the tty in one system call; Read hands them out one
// request at a time, so a reply of a few bytes costs one call, not one each.
constexpr size_t InputChunk = 4096;

struct StandardRate {
  uint32_t Rate;
  speed_t Code;
};
constexpr std::array<StandardRate, 18> StandardRates = {{{50, B50},
                                                         {75, B75},
                                                         {110, B110},
                                                         {134, B134},
                                                         {150, B150},
                                                         {200, B200},
                                                         {300, B300},
                                                         {600, B600},
                                                         {1200, B1200},
                                                         {1800, B1800},
                                                         {2400, B2400},
                                                         {4800, B4800},
                                                         {9600, B9600},
                                                         {19200, B19200},
                                                         {38400, B38400},
                                                         {57600, B57600},
                                                         {115200, B115200},
                                                         {230400, B230400}}};

speed_t StandardCode(uint32_t rate) {
  for (const StandardRate& r : StandardRates) {
    if (r.Rate == rate) return r.Code;
  }
  return B0;
}

// The waits for the rest of a reply are a few characters long: the default
// slack of 50 us would add a good part of one to each. Per thread.
void SetFineTimerSlack() {
  constexpr unsigned long SlackNs = 5'000;
  thread_local bool set = false;
  if (!set) (void)prctl(PR_SET_TIMERSLACK, SlackNs, 0, 0, 0);
  set = true;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How long one character is on the wire: start bit, data bits, parity bit,
// stop bits. 0 when the rate is not known.
int64_t CharacterNs(const Dcb& dcb) {
  if (dcb.BaudRate == 0) return 0;
  const int64_t bits = 1 + std::clamp<int64_t>(dcb.ByteSize, 5, 8) +
                       (dcb.Parity != NoParity ? 1 : 0) + (dcb.StopBits == OneStopBit ? 1 : 2);
  return bits * 1'000'000'000 / dcb.BaudRate;
}

uint32_t RateOfCode(speed_t code) {
  for (const StandardRate& r : StandardRates) {
    if (r.Code == code) return r.Rate;
  }
  return 0;
}

tcflag_t SizeBits(uint8_t byteSize) {
  switch (byteSize) {
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      return CS5;  // 3 and 4 too: the UART has nothing smaller
  }
}

uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS6:
      return 6;
    case CS7:
      return 7;
    case CS8:
      return 8;
    default:
      return 5;
  }
}

bool UsesRtsCts(uint32_t flags) {
  // Handshake and toggle both carry the high bit of the RTS control; the
  // driver knows only one hardware handshake, covering both directions.
  return (flags & DcbOutxCtsFlow) || (flags & DcbRtsHandshake);
}

SysError BusyError(const std::string& path, int err) {
  const std::string holder = HoldersOf(path);
  return SysError{ErrorCause::Busy, err,
                  path + " is in use by " + (holder.empty() ? "another program" : holder)};
}

SysError PermissionError(const std::string& path, int err) {
  SysError error = ErrnoError(err, "no permission to open " + path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    const group* owner = getgrgid(st.st_gid);
    if (owner != nullptr && st.st_gid != 0 && (st.st_mode & S_IRWXG) == (S_IRGRP | S_IWGRP))
      error.Text += std::string("; members of the group ") + owner->gr_name + " may open it";
  }
  return error;
}

// The causes are errno's own (CauseOfErrno); the port adds what it knows:
// who holds it, which group may open it, and that a file that is no
// terminal (a folder included) is no serial device.
SysError OpenError(const std::string& path, int err) {
  switch (CauseOfErrno(err)) {
    case ErrorCause::NotFound:
      return ErrnoError(err, path + " does not exist");
    case ErrorCause::PermissionDenied:
      return PermissionError(path, err);
    case ErrorCause::Busy:
      return BusyError(path, err);
    case ErrorCause::NotSerialDevice:
    case ErrorCause::NotRegularFile: {
      SysError error = ErrnoError(err, path + " is not a serial device");
      error.Cause = ErrorCause::NotSerialDevice;
      return error;
    }
    default:
      return ErrnoError(err, "cannot open " + path);
  }
}

// A missing modem line (a pseudo-terminal, an adapter without the pin) is not
// an error of the settings.
bool NoModemLines(int err) {
  return err == ENOTTY || err == EINVAL;
}

}  // namespace

struct SerialDevice::Impl {
  std::string Path;
  int Fd = -1;
  int WakeFd = -1;
  bool HasCounters = false;
  // The settings last applied; the parts termios cannot hold are read back
  // from here. Window thread only.
  Dcb Applied{};

  std::atomic<uint32_t> Mask{0};
  // Taking bytes out of the input queue and the watcher's look at it exclude
  // each other, so that the look sees exactly how many bytes ever arrived.
  // Each holds it for one short non-blocking call.
  std::mutex TakeMutex;
  // Bytes taken out of the input queue so far, by Read (and Purge).
  uint64_t Consumed = 0;
  // Consumed at the last characters event: a handler that took some bytes
  // and handed back with more waiting (so as not to hold its thread) is
  // told again about the rest.
  uint64_t ConsumedAtReport = 0;
  std::atomic<bool> ReportLeftovers{false};
  // Bytes already fetched from the tty but not yet handed to Read's callers:
  // still part of the input queue. Guarded by TakeMutex.
  std::array<uint8_t, InputChunk> Fetched{};
  size_t FetchedPos = 0;
  size_t FetchedLen = 0;
  // The last read() found the tty empty and nothing was fetched since: a
  // look at the queue can go straight to poll(), which sees any newer byte.
  // Guarded by TakeMutex.
  bool SeenEmpty = false;
  // The watcher's look has just fetched all the tty held: the count that
  // ClearError gives right after it needs no call of its own. Guarded by
  // TakeMutex.
  bool LookedJustNow = false;
  bool LookTookAll = false;  // the last Queued() left nothing in the tty
  // A reply of known length is awaited (ExpectReply): once its first byte is
  // in, the watcher gives the rest the time the line needs to bring it and
  // reports the whole reply at once, one wake-up instead of one a byte.
  // ExpectedBytes is 0 when no reply is awaited; ExpectedFrom counts the
  // bytes that had arrived when it was asked for. Guarded by TakeMutex.
  uint32_t ExpectedBytes = 0;
  uint64_t ExpectedFrom = 0;
  int64_t ExpectedSinceNs = 0;
  bool ExpectedRestWaited = false;
  bool InputSinceRequest = false;  // poll() has seen input since ExpectReply
  // What the watcher, about to sleep, wants to hear from Read; guarded by
  // TakeMutex. WakeOnTake: the queue was empty at its look, so bytes that
  // arrive and are read before it sleeps would go unseen. WakeOnDrain:
  // reported bytes sat unread, and it waits for them to be read up.
  bool WakeOnTake = false;
  bool WakeOnDrain = false;
  // A write happened since the last look at the output queue.
  std::atomic<bool> TxPending{false};
  // The watcher sleeps in poll() without a look at TxPending pending: only
  // then does a write need to wake it.
  std::atomic<bool> Sleeping{false};
  // When the last write was done, and how long its last character takes on
  // the wire: the driver's queue empties when the character enters the UART,
  // but the output is only empty once it has left.
  std::atomic<int64_t> LastWriteNs{0};
  std::atomic<int64_t> CharacterTimeNs{0};
  std::atomic<uint32_t> PendingErrors{0};

  // Set by whoever first finds the device gone.
  std::atomic<bool> HungUp{false};
  // Watcher only.
  uint64_t ReportedArrived = 0;
  bool LossReported = false;
  serial_icounter_struct LastCounters{};

  ~Impl() {
    if (Fd >= 0) {
      // The exclusive flag outlives our descriptor when someone else still
      // holds the tty open (a pseudo-terminal's creator, for instance).
      (void)ioctl(Fd, TIOCNXCL);
      close(Fd);
    }
    if (WakeFd >= 0) close(WakeFd);
  }

  void Wake() const {
    const uint64_t one = 1;
    (void)!write(WakeFd, &one, sizeof one);
  }

  void DrainWake() const {
    uint64_t count = 0;
    (void)!read(WakeFd, &count, sizeof count);
  }

  // Bytes fetched from the tty and not yet taken. TakeMutex held.
  int Buffered() const { return static_cast<int>(FetchedLen - FetchedPos); }

  // Bytes in the input queue: fetched and still in the tty. One read() tops
  // the fetch buffer up with what the tty holds: it costs no more than
  // asking for their number, and Read then finds them here. TakeMutex held.
  int Queued() {
    LookTookAll = true;
    if (FetchedPos == FetchedLen && (SeenEmpty || RequestOnTheWire())) return 0;
    LookTookAll = Fetch() == FetchedAll::Yes;
    return LookTookAll ? Buffered() : Buffered() + InTty();
  }

  // Bytes still in the tty, not yet fetched.
  int InTty() {
    int count = 0;
    if (ioctl(Fd, FIONREAD, &count) != 0) {
      NoteLossIn(errno);
      count = 0;
    }
    return std::max(count, 0);
  }

  // A call on the line failed with `err`: these say the device has gone.
  void NoteLossIn(int err) {
    if (err == EIO || err == ENXIO || err == ENODEV) HungUp.store(true);
  }

  enum class FetchedAll : uint8_t { Yes, No };

  // One non-blocking read() that tops the fetch buffer up; Yes when it took
  // all the tty held (or failed: nothing more can be had now), No when the
  // buffer filled first. TakeMutex held.
  FetchedAll Fetch() {
    if (FetchedPos == FetchedLen) {
      FetchedPos = 0;
      FetchedLen = 0;
    } else if (FetchedPos > 0) {
      std::copy(Fetched.begin() + static_cast<ptrdiff_t>(FetchedPos),
                Fetched.begin() + static_cast<ptrdiff_t>(FetchedLen), Fetched.begin());
      FetchedLen -= FetchedPos;
      FetchedPos = 0;
    }
    const size_t room = Fetched.size() - FetchedLen;
    if (room == 0) return FetchedAll::No;
    const ssize_t n = read(Fd, Fetched.data() + FetchedLen, room);
    if (n > 0) {
      FetchedLen += static_cast<size_t>(n);
      SeenEmpty = false;
      return static_cast<size_t>(n) < room ? FetchedAll::Yes : FetchedAll::No;
    }
    // With VMIN and VTIME 0 an empty tty reads as 0 bytes; so does a hung-up
    // one, which poll() then reports at once.
    if (n < 0) NoteLossIn(errno);
    SeenEmpty = n == 0 || (n < 0 && errno == EAGAIN);
    return FetchedAll::Yes;
  }

  // The request of an awaited reply is still going out: no byte of the reply
  // can be in yet, and a look needs no call. TakeMutex held.
  bool RequestOnTheWire() const {
    return ExpectedBytes > 0 && !InputSinceRequest &&
           Consumed + static_cast<uint64_t>(Buffered()) == ExpectedFrom &&
           NowNs() < ExpectedSinceNs + CharacterTimeNs.load();
  }

  // With a reply awaited and `arrived` bytes in so far: how long to leave
  // the line alone before the rest is in, or 0 to report now. TakeMutex held.
  int64_t RestOfReplyNs(uint64_t arrived) {
    if (ExpectedBytes == 0 || arrived <= ExpectedFrom) return 0;
    const uint64_t have = arrived - ExpectedFrom;
    const int64_t character = CharacterTimeNs.load();
    // One wait for the rest only: a reply late or short is reported as it
    // comes, byte by byte.
    if (have >= ExpectedBytes || ExpectedRestWaited || character <= 0) {
      ExpectedBytes = 0;
      return 0;
    }
    ExpectedRestWaited = true;
    return static_cast<int64_t>(ExpectedBytes - have) * character;
  }

  // Compares the driver's interrupt counters with the last look.
  uint32_t CounterEventsSinceLastLook() {
    serial_icounter_struct now{};
    if (ioctl(Fd, TIOCGICOUNT, &now) != 0) return 0;
    uint32_t events = 0;
    uint32_t errors = 0;
    if (now.cts != LastCounters.cts) events |= EvCts;
    if (now.dsr != LastCounters.dsr) events |= EvDsr;
    if (now.rng != LastCounters.rng) events |= EvRing;
    if (now.dcd != LastCounters.dcd) events |= EvRlsd;
    if (now.frame != LastCounters.frame) errors |= CeFrame;
    if (now.overrun != LastCounters.overrun) errors |= CeOverrun;
    if (now.parity != LastCounters.parity) errors |= CeRxParity;
    if (now.buf_overrun != LastCounters.buf_overrun) errors |= CeRxOver;
    if (now.brk != LastCounters.brk) {
      errors |= CeBreak;
      events |= EvBreak;
    }
    if (errors & LineErrors) events |= EvErr;
    LastCounters = now;
    if (errors) PendingErrors.fetch_or(errors);
    return events;
  }
};

SerialDevice::SerialDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SerialDevice::~SerialDevice() = default;

std::string SerialDevice::DevicePath(uint8_t port) {
  if (port < 1 || port > 4) return {};
  const std::string name = "UPDATER_COM" + std::to_string(port);
  const char* configured = std::getenv(name.c_str());
  if (configured && *configured) return configured;
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const std::string& path, SysError& error) {
  error = {};
  if (path.empty()) {
    error = SysError{ErrorCause::NotFound, 0, "no serial device is named for this port"};
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->Path = path;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenError(path, errno);
    return nullptr;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    const int err = errno;
    close(fd);
    error = OpenError(path, err == EINVAL ? ENOTTY : err);
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Another holder: leave its flags alone.
    const int err = errno;
    close(fd);
    error = OpenError(path, err);
    return nullptr;
  }
  impl->Fd = fd;
  // flock keeps out every program that asks for the lock, root included;
  // TIOCEXCL keeps out ordinary users that do not.
  if (ioctl(fd, TIOCEXCL) != 0) {
    error = ErrnoError(errno, "cannot hold " + path + " exclusively");
    return nullptr;
  }
  impl->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl->WakeFd < 0) {
    error = ErrnoError(errno, "cannot wait for events of " + path);
    return nullptr;
  }

  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    // The kernel makes a ttyS node for every port it might have; one without
    // a UART behind it opens fine and never carries a byte.
    if (serial.type == PORT_UNKNOWN) {
      error = SysError{ErrorCause::NotFound, ENODEV, path + " has no serial port behind it"};
      return nullptr;
    }
    // A USB adapter otherwise holds each short reply back for up to 16 ms.
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &serial);
  }
  impl->HasCounters = ioctl(fd, TIOCGICOUNT, &impl->LastCounters) == 0;
  impl->Applied.DCBlength = sizeof(Dcb);
  // A freshly opened port starts with empty queues, as it does elsewhere.
  (void)tcflush(fd, TCIOFLUSH);
  return std::unique_ptr<SerialDevice>(new SerialDevice(std::move(impl)));
}

SysError SerialDevice::Apply(const Dcb& dcb, uint32_t /*inBufSize*/, uint32_t /*outBufSize*/) {
  // The tty's queues have a fixed size: the requested sizes have no use here.
  Impl& d = *impl_;
  d.Applied = dcb;
  d.CharacterTimeNs.store(CharacterNs(dcb));
  termios t{};
  if (tcgetattr(d.Fd, &t) != 0) {
    const int err = errno;
    return ErrnoError(err, d.Path + (err == ENOTTY ? " is not a serial device"
                                                   : ": cannot read the line settings"));
  }

  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | SizeBits(dcb.ByteSize);
  switch (dcb.Parity) {
    case OddParity:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EvenParity:
      t.c_cflag |= PARENB;
      break;
    case MarkParity:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SpaceParity:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if ((dcb.Flags & DcbParity) && (t.c_cflag & PARENB)) t.c_iflag |= INPCK;
  // One and a half stop bits exist only with 5 data bits on a real UART; the
  // nearest the driver offers is two.
  if (dcb.StopBits != OneStopBit) t.c_cflag |= CSTOPB;
  if (UsesRtsCts(dcb.Flags)) t.c_cflag |= CRTSCTS;
  if (dcb.Flags & DcbOutX) t.c_iflag |= IXON;
  if (dcb.Flags & DcbInX) t.c_iflag |= IXOFF;
  if (dcb.XonChar) t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  if (dcb.XoffChar) t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  // A rate of 0 would hang the line up: keep the rate in force instead.
  const speed_t code = StandardCode(dcb.BaudRate);
  if (code != B0) {
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }
  const auto refused = [&](int err) {
    SysError error =
        ErrnoError(err, d.Path + " refused the line settings (" + std::to_string(dcb.BaudRate) +
                            " bit/s, " + std::to_string(dcb.ByteSize) + " data bits)");
    error.Cause = ErrorCause::SettingsRefused;
    return error;
  };
  if (tcsetattr(d.Fd, TCSANOW, &t) != 0) return refused(errno);
  if (code == B0 && dcb.BaudRate != 0 && !SetBitRateByNumber(d.Fd, dcb.BaudRate))
    return refused(errno);

  const uint32_t dtr = dcb.Flags & DcbDtrControlMask;
  SysError lines = SetDtr(dtr == DcbDtrControlEnable || dtr == DcbDtrHandshake);
  if (!lines) lines = SetRts((dcb.Flags & DcbRtsControlMask) != 0);
  if (lines && !NoModemLines(lines.Code)) return lines;
  return {};
}

Dcb SerialDevice::Current() const {
  const Impl& d = *impl_;
  Dcb dcb = d.Applied;
  termios t{};
  if (tcgetattr(d.Fd, &t) != 0) return dcb;
  uint32_t rate = BitRateInForce(d.Fd);
  if (rate == 0) rate = RateOfCode(cfgetospeed(&t));
  dcb.BaudRate = rate;
  dcb.ByteSize = ByteSizeOf(t.c_cflag);
  if (!(t.c_cflag & PARENB)) {
    dcb.Parity = NoParity;
  } else if (t.c_cflag & CMSPAR) {
    dcb.Parity = (t.c_cflag & PARODD) ? MarkParity : SpaceParity;
  } else {
    dcb.Parity = (t.c_cflag & PARODD) ? OddParity : EvenParity;
  }
  dcb.Flags &= ~(DcbParity | DcbOutX | DcbInX);
  if (t.c_iflag & INPCK) dcb.Flags |= DcbParity;
  dcb.StopBits = (t.c_cflag & CSTOPB) ? TwoStopBits : OneStopBit;
  if (t.c_cflag & CRTSCTS) {
    dcb.Flags |= DcbOutxCtsFlow;
    if (!UsesRtsCts(dcb.Flags & ~DcbOutxCtsFlow))
      dcb.Flags = (dcb.Flags & ~DcbRtsControlMask) | DcbRtsHandshake;
  } else {
    dcb.Flags &= ~DcbOutxCtsFlow;
    if (dcb.Flags & DcbRtsHandshake) dcb.Flags &= ~DcbRtsControlMask;
  }
  if (t.c_iflag & IXON) dcb.Flags |= DcbOutX;
  if (t.c_iflag & IXOFF) dcb.Flags |= DcbInX;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return dcb;
}

void SerialDevice::SetReportLeftovers(bool on) {
  impl_->ReportLeftovers.store(on);
}

void SerialDevice::SetMask(uint32_t mask) {
  impl_->Mask.store(mask);
  if (mask == 0) impl_->Wake();
}

uint32_t SerialDevice::WaitEvent(int timeoutMs) {
  Impl& d = *impl_;
  const int64_t deadlineNs = timeoutMs < 0 ? -1 : NowNs() + int64_t{timeoutMs} * 1'000'000;
  const auto leftNs = [deadlineNs] { return deadlineNs - NowNs(); };
  for (;;) {
    const uint32_t mask = d.Mask.load();
    if (mask == 0) return 0;
    if (d.LossReported) {
      // The device is gone: nothing more can happen until the port closes.
      int waitMs = -1;
      if (deadlineNs >= 0) {
        const int64_t left = leftNs();
        if (left <= 0) return 0;
        waitMs = static_cast<int>((left + 999'999) / 1'000'000);
      }
      pollfd wake{d.WakeFd, POLLIN, 0};
      const int polled = poll(&wake, 1, waitMs);
      if (polled < 0 && errno != EINTR) return 0;
      if (polled > 0) d.DrainWake();
      continue;
    }

    uint32_t events = 0;
    int queued = 0;
    int64_t restOfReplyNs = 0;
    {
      std::lock_guard<std::mutex> lock(d.TakeMutex);
      queued = d.Queued();
      const uint64_t arrived = d.Consumed + static_cast<uint64_t>(queued);
      const bool leftOver =
          d.ReportLeftovers.load() && queued > 0 && d.Consumed > d.ConsumedAtReport;
      if (arrived > d.ReportedArrived) restOfReplyNs = d.RestOfReplyNs(arrived);
      if (restOfReplyNs > 0) {
        // The first bytes of an awaited reply: the rest is on its way.
      } else if (arrived > d.ReportedArrived || leftOver) {
        d.ReportedArrived = arrived;
        d.ConsumedAtReport = d.Consumed;
        events |= mask & EvRxChar;
      }
      const bool nothingNew = !(events & EvRxChar);
      d.WakeOnTake = nothingNew && queued == 0;
      d.WakeOnDrain = nothingNew && queued > 0 && restOfReplyNs == 0;
      d.LookedJustNow = (events & EvRxChar) != 0 && d.LookTookAll;
    }
    int64_t lastCharacterLeftIn = -1;
    if (d.TxPending.exchange(false)) {
      int outQueue = 0;
      const int64_t leaves = d.LastWriteNs.load() + d.CharacterTimeNs.load();
      const int64_t now = NowNs();
      if (ioctl(d.Fd, TIOCOUTQ, &outQueue) == 0 && outQueue > 0) {
        d.TxPending.store(true);
      } else if (now < leaves) {
        d.TxPending.store(true);
        lastCharacterLeftIn = leaves - now;
      } else {
        events |= mask & EvTxEmpty;
      }
    }
    const bool watchCounters = d.HasCounters && (mask & CounterEvents);
    if (watchCounters) events |= mask & d.CounterEventsSinceLastLook();
    if (d.HungUp.load()) {
      // Reported once, whatever the mask: the application must learn that
      // its device has gone.
      d.LossReported = true;
      d.PendingErrors.fetch_or(CeIoe);
      events |= EvErr;
    }
    if (events) return events;
    if (restOfReplyNs > 0) SetFineTimerSlack();

    int64_t timeoutNs = -1;
    const auto shorten = [&timeoutNs](int64_t ns) {
      timeoutNs = timeoutNs < 0 ? ns : std::min(timeoutNs, ns);
    };
    constexpr int64_t NsPerMs = 1'000'000;
    if (restOfReplyNs > 0) {
      shorten(restOfReplyNs);
    } else if (queued > 0) {
      shorten(StaleQueuePollMs * NsPerMs);
    }
    if (lastCharacterLeftIn >= 0) {
      shorten(lastCharacterLeftIn);
    } else if (d.TxPending.load()) {
      shorten(OutputDrainPollMs * NsPerMs);
    }
    if (watchCounters) shorten(LineCounterPollMs * NsPerMs);
    if (deadlineNs >= 0) {
      const int64_t left = leftNs();
      if (left <= 0) return 0;
      shorten(left);
    }
    const timespec timeout{static_cast<time_t>(timeoutNs / 1'000'000'000),
                           static_cast<long>(timeoutNs % 1'000'000'000)};
    std::array<pollfd, 2> fds = {
        {{d.Fd, static_cast<short>(queued > 0 || restOfReplyNs > 0 ? 0 : POLLIN), 0},
         {d.WakeFd, POLLIN, 0}}};
    // A write between the look above and the sleep must not go unseen: it
    // either finds Sleeping set and wakes us, or we find its TxPending here.
    const bool draining = d.TxPending.load();
    d.Sleeping.store(true);
    if (!draining && d.TxPending.load()) {
      d.Sleeping.store(false);
      continue;
    }
    const int polled = ppoll(fds.data(), fds.size(), timeoutNs < 0 ? nullptr : &timeout, nullptr);
    d.Sleeping.store(false);
    if (polled < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (fds[0].revents & POLLIN) {
      std::lock_guard<std::mutex> lock(d.TakeMutex);
      d.SeenEmpty = false;
      d.InputSinceRequest = true;
    }
    if (fds[1].revents & POLLIN) d.DrainWake();
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) d.HungUp.store(true);
  }
}

uint32_t SerialDevice::ClearError(uint32_t* inQue) {
  Impl& d = *impl_;
  if (inQue) {
    std::lock_guard<std::mutex> lock(d.TakeMutex);
    *inQue = static_cast<uint32_t>(d.LookedJustNow ? d.Buffered() : d.Queued());
    d.LookedJustNow = false;
  }
  return d.PendingErrors.exchange(0);
}

uint32_t SerialDevice::ModemStatus() {
  int lines = 0;
  if (ioctl(impl_->Fd, TIOCMGET, &lines) != 0) return 0;
  uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= MsCtsOn;
  if (lines & TIOCM_DSR) status |= MsDsrOn;
  if (lines & TIOCM_RNG) status |= MsRingOn;
  if (lines & TIOCM_CAR) status |= MsRlsdOn;
  return status;
}

namespace {

SysError SetModemLine(int fd, int line, bool on, const std::string& what) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return {};
  return ErrnoError(errno, "cannot " + std::string(on ? "raise " : "drop ") + what);
}

}  // namespace

SysError SerialDevice::SetDtr(bool on) {
  return SetModemLine(impl_->Fd, TIOCM_DTR, on, "DTR on " + impl_->Path);
}

SysError SerialDevice::SetRts(bool on) {
  return SetModemLine(impl_->Fd, TIOCM_RTS, on, "RTS on " + impl_->Path);
}

void SerialDevice::Purge() {
  Impl& d = *impl_;
  // Flushed bytes count as taken, or the next arrivals would look old.
  std::lock_guard<std::mutex> lock(d.TakeMutex);
  d.Consumed += static_cast<uint64_t>(d.Buffered() + d.InTty());
  d.FetchedPos = 0;
  d.FetchedLen = 0;
  d.LookedJustNow = false;
  d.ExpectedBytes = 0;
  (void)tcflush(d.Fd, TCIOFLUSH);
}

uint32_t SerialDevice::Read(void* buffer, uint32_t count) {
  if (count == 0) return 0;
  // The line is non-blocking with VMIN and VTIME 0: read() hands over at
  // most what is queued and never waits, so the queue length need not be
  // asked for first.
  Impl& d = *impl_;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t taken = 0;
  bool wakeWatcher = false;
  {
    std::lock_guard<std::mutex> lock(d.TakeMutex);
    d.LookedJustNow = false;
    while (taken < count) {
      if (d.FetchedPos == d.FetchedLen) {
        if (d.RequestOnTheWire()) break;
        d.Fetch();
        if (d.FetchedPos == d.FetchedLen) break;
      }
      const size_t part = std::min(count - taken, d.FetchedLen - d.FetchedPos);
      std::copy_n(d.Fetched.data() + d.FetchedPos, part, out + taken);
      d.FetchedPos += part;
      taken += part;
    }
    d.Consumed += taken;
    // Less than asked for means the queue is empty now.
    if ((taken > 0 && d.WakeOnTake) || (taken < count && d.WakeOnDrain)) {
      d.WakeOnTake = false;
      d.WakeOnDrain = false;
      wakeWatcher = true;
    }
  }
  if (wakeWatcher) d.Wake();
  return static_cast<uint32_t>(taken);
}

void SerialDevice::ExpectReply(uint32_t bytes) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.TakeMutex);
  d.ExpectedBytes = bytes;
  d.ExpectedFrom = d.Consumed + static_cast<uint64_t>(d.Buffered());
  d.ExpectedSinceNs = NowNs();
  d.ExpectedRestWaited = false;
  d.InputSinceRequest = false;
}

uint32_t SerialDevice::Write(const void* buffer, uint32_t count, int timeoutMs, SysError& error) {
  Impl& d = *impl_;
  error = {};
  if (count == 0) return 0;
  const auto* next = static_cast<const unsigned char*>(buffer);
  size_t left = count;
  bool waited = false;
  std::chrono::steady_clock::time_point deadline;
  while (left > 0) {
    const ssize_t n = write(d.Fd, next, left);
    if (n > 0) {
      next += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const uint32_t written = count - static_cast<uint32_t>(left);
    if (n < 0 && errno != EAGAIN) {
      error = ErrnoError(errno, "cannot write to " + d.Path);
      return written;
    }
    // The output queue is full: wait for room, up to the deadline.
    const auto now = std::chrono::steady_clock::now();
    if (!waited) {
      waited = true;
      deadline = now + std::chrono::milliseconds(timeoutMs);
    }
    if (now >= deadline) {
      error = SysError{ErrorCause::TimedOut, ETIMEDOUT,
                       d.Path + ": " + std::to_string(written) + " of " + std::to_string(count) +
                           " bytes written within " + std::to_string(timeoutMs) + " ms"};
      return written;
    }
    // A serial tty reports POLLOUT only once its queue has drained below a
    // low-water mark (256 bytes): at 38400 bit/s that is a full second away
    // for a queue of 4 KiB, as long as the whole time-out. A write takes a
    // byte as soon as there is room for one, so the wait is cut into short
    // slices and the write tried again after each.
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    pollfd out{d.Fd, POLLOUT, 0};
    const int slice = static_cast<int>(std::min<long long>(remaining, WriteRetrySliceMs));
    if (poll(&out, 1, slice) < 0 && errno != EINTR) {
      error = ErrnoError(errno, "cannot write to " + d.Path);
      return count - static_cast<uint32_t>(left);
    }
    if (out.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      error = SysError{ErrorCause::NotFound, EIO, d.Path + " has gone away"};
      return count - static_cast<uint32_t>(left);
    }
  }
  // Only the first write after the watcher's last look can need to wake it,
  // and only while it sleeps; the rest find the flag already set.
  d.LastWriteNs.store(NowNs(), std::memory_order_relaxed);
  if ((d.Mask.load(std::memory_order_relaxed) & EvTxEmpty) &&
      !d.TxPending.load(std::memory_order_relaxed) && !d.TxPending.exchange(true) &&
      d.Sleeping.load()) {
    d.Wake();
  }
  return count;
}
