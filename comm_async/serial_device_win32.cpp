// The serial device on Windows: the communications API on a handle opened
// for overlapped I/O. The component's vocabulary is the system's own here
// (the Dcb is a DCB, the EV_, CE_ and MS_ bits are the same numbers).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/win32_text.h"
#include "serial_device.h"

static_assert(sizeof(Dcb) == sizeof(DCB), "Dcb is laid out as the system's DCB");
static_assert(EvRxChar == EV_RXCHAR && EvTxEmpty == EV_TXEMPTY && EvErr == EV_ERR &&
              EvRing == EV_RING && EvBreak == EV_BREAK && EvRlsd == EV_RLSD);
static_assert(CeFrame == CE_FRAME && CeOverrun == CE_OVERRUN && CeRxOver == CE_RXOVER &&
              CeIoe == CE_IOE);
static_assert(MsCtsOn == MS_CTS_ON && MsRlsdOn == MS_RLSD_ON);

namespace {

// "COM12" and "\\.\COM12" name the same port; the long form reaches every
// port number, the short one only COM1 to COM9.
std::string FullName(const std::string& path) {
  if (path.rfind("\\\\", 0) == 0) return path;
  return "\\\\.\\" + path;
}

// The port's name as a person knows it: COM12.
std::string ShortName(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

// Waits at most timeoutMs for a pending transfer; one that does not finish
// is cancelled and waited for, so that it never touches the caller's buffer
// after the call has returned. Bytes transferred; *timedOut tells whether
// the wait ran out.
DWORD FinishPending(HANDLE port, OVERLAPPED& transfer, DWORD timeoutMs, bool* timedOut) {
  *timedOut = WaitForSingleObject(transfer.hEvent, timeoutMs) != WAIT_OBJECT_0;
  if (*timedOut) CancelIoEx(port, &transfer);
  DWORD n = 0;
  GetOverlappedResult(port, &transfer, &n, TRUE);
  return n;
}

}  // namespace

struct SerialDevice::Impl {
  std::string Name;  // COM5, for texts
  HANDLE Port = INVALID_HANDLE_VALUE;
  HANDLE ReadDone = nullptr;
  HANDLE WriteDone = nullptr;
  HANDLE EventDone = nullptr;
  // Set by SetMask(0): ends a pending WaitEvent, also one that has not yet
  // reached the system's wait.
  HANDLE Wake = nullptr;
  std::atomic<uint32_t> Mask{0};
  // Bytes handed out by Read so far, and as many at the last characters
  // event: a handler that took some and left the rest is told again.
  std::atomic<bool> ReportLeftovers{false};
  std::atomic<uint64_t> Consumed{0};
  uint64_t ConsumedAtReport = 0;  // the watcher's own
  // CE_ flags that the watcher's look at the queue took from the driver;
  // ClearError hands them on.
  std::atomic<uint32_t> TakenErrors{0};

  // Whether bytes a handler left unread are to be reported again now.
  bool LeftoversWaiting() {
    const uint64_t consumed = Consumed.load();
    if (!ReportLeftovers.load() || consumed <= ConsumedAtReport) return false;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Port, &errors, &status)) return false;
    TakenErrors.fetch_or(errors);
    return status.cbInQue > 0;
  }

  ~Impl() {
    if (Port != INVALID_HANDLE_VALUE) CloseHandle(Port);
    for (HANDLE event : {ReadDone, WriteDone, EventDone, Wake}) {
      if (event) CloseHandle(event);
    }
  }
};

SerialDevice::SerialDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SerialDevice::~SerialDevice() = default;

std::string SerialDevice::DevicePath(uint8_t port) {
  if (port < 1) return {};
  return "\\\\.\\COM" + std::to_string(port);
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const std::string& path, SysError& error) {
  error = {};
  if (path.empty()) {
    error = SysError{ErrorCause::NotFound, 0, "no serial device is named for this port"};
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->Name = ShortName(path);
  // Not shared: a second open of the port, by any program, fails.
  impl->Port = CreateFileW(WideFromUtf8(FullName(path)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (impl->Port == INVALID_HANDLE_VALUE) {
    // The causes are the system's own (CauseOfWin32Error); the port adds
    // that a port another program holds is refused as "access denied", and
    // that the system does not tell who holds it.
    const DWORD code = GetLastError();
    switch (CauseOfWin32Error(code)) {
      case ErrorCause::NotFound:
        error = Win32Error(code, impl->Name + " does not exist");
        break;
      case ErrorCause::PermissionDenied:
      case ErrorCause::Busy:
        error = Win32Error(code, impl->Name + " is in use by another program");
        error.Cause = ErrorCause::Busy;
        break;
      default:
        error = Win32Error(code, "cannot open " + impl->Name);
        break;
    }
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(impl->Port, &dcb)) {
    error = Win32Error(GetLastError(), impl->Name + " is not a serial device");
    error.Cause = ErrorCause::NotSerialDevice;
    return nullptr;
  }
  // A read returns at once with what is queued, never waits for more.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  if (!SetCommTimeouts(impl->Port, &timeouts)) {
    error = Win32Error(GetLastError(), impl->Name + " refused its time-outs");
    error.Cause = ErrorCause::SettingsRefused;
    return nullptr;
  }
  impl->ReadDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  impl->WriteDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  impl->EventDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  impl->Wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!impl->ReadDone || !impl->WriteDone || !impl->EventDone || !impl->Wake) {
    error = Win32Error(GetLastError(), "cannot wait for events of " + impl->Name);
    return nullptr;
  }
  // A freshly opened port starts with empty queues.
  PurgeComm(impl->Port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return std::unique_ptr<SerialDevice>(new SerialDevice(std::move(impl)));
}

SysError SerialDevice::Apply(const Dcb& dcb, uint32_t inBufSize, uint32_t outBufSize) {
  Impl& d = *impl_;
  DCB settings{};
  std::memcpy(&settings, &dcb, sizeof settings);
  settings.DCBlength = sizeof settings;
  settings.fBinary = TRUE;  // the only mode Windows supports
  if (!SetCommState(d.Port, &settings)) {
    const DWORD code = GetLastError();
    SysError error =
        Win32Error(code, d.Name + " refused the line settings (" + std::to_string(dcb.BaudRate) +
                             " bit/s, " + std::to_string(dcb.ByteSize) + " data bits)");
    error.Cause = ErrorCause::SettingsRefused;
    return error;
  }
  // The queue sizes are a request; a driver that keeps its own is no error.
  if (inBufSize != 0 && outBufSize != 0) SetupComm(d.Port, inBufSize, outBufSize);
  return {};
}

Dcb SerialDevice::Current() const {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  Dcb dcb{};
  if (GetCommState(impl_->Port, &settings)) std::memcpy(&dcb, &settings, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  return dcb;
}

void SerialDevice::SetReportLeftovers(bool on) {
  impl_->ReportLeftovers.store(on);
}

void SerialDevice::SetMask(uint32_t mask) {
  Impl& d = *impl_;
  d.Mask.store(mask);
  // A mask of 0 completes a pending WaitCommEvent; the own event covers a
  // watcher that is just about to start one.
  SetCommMask(d.Port, mask);
  if (mask == 0) SetEvent(d.Wake);
}

namespace {

// Events that need the driver to watch the modem lines or count line errors.
constexpr uint32_t LineAndModemEvents = EvCts | EvDsr | EvRing | EvRlsd | EvBreak | EvErr;

enum class WaitOutcome { Events, Woken, TimedOut, Aborted, Failed };

// One overlapped WaitCommEvent, ended early by `wake` or after `timeoutMs`
// (INFINITE: no limit). `events` gets the bits; `code` the system's error
// when it failed.
WaitOutcome WaitOnce(HANDLE port, HANDLE done, HANDLE wake, DWORD timeoutMs, DWORD& events,
                     DWORD& code) {
  events = 0;
  OVERLAPPED wait{};
  wait.hEvent = done;
  ResetEvent(done);
  if (WaitCommEvent(port, &events, &wait)) return WaitOutcome::Events;
  code = GetLastError();
  if (code != ERROR_IO_PENDING) return WaitOutcome::Failed;
  const HANDLE both[2] = {done, wake};
  const DWORD woken = WaitForMultipleObjects(2, both, FALSE, timeoutMs);
  if (woken != WAIT_OBJECT_0) CancelIoEx(port, &wait);
  DWORD unused = 0;
  // `events` is written by the system until the wait has completed.
  const BOOL completed = GetOverlappedResult(port, &wait, &unused, TRUE);
  code = completed ? 0 : GetLastError();
  if (woken == WAIT_TIMEOUT) {
    // The wait may have completed just before it was cancelled.
    return completed && events != 0 ? WaitOutcome::Events : WaitOutcome::TimedOut;
  }
  if (woken != WAIT_OBJECT_0) return WaitOutcome::Woken;
  if (completed) return WaitOutcome::Events;
  return code == ERROR_OPERATION_ABORTED ? WaitOutcome::Aborted : WaitOutcome::Failed;
}

}  // namespace

uint32_t SerialDevice::WaitEvent(int timeoutMs) {
  Impl& d = *impl_;
  const ULONGLONG deadline =
      timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  // What is left of the time-out for the next system wait.
  const auto left = [&]() -> DWORD {
    if (timeoutMs < 0) return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  };
  // Two retries for drivers that fall short of Windows' own:
  // - one that cannot watch modem lines or count line errors (Wine on a
  //   pseudo-terminal) refuses the whole wait; it then waits without those
  //   events, which it can never report anyway;
  // - one that ends a pending wait as aborted when something happened on the
  //   line (Wine again) reports the event when asked once more.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint32_t mask = d.Mask.load();
    if (mask == 0) return 0;
    // Windows reports EV_RXCHAR once per arrival, never for bytes that were
    // left waiting.
    if ((mask & EvRxChar) && d.LeftoversWaiting()) {
      d.ConsumedAtReport = d.Consumed.load();
      return EvRxChar;
    }
    DWORD events = 0;
    DWORD code = 0;
    switch (WaitOnce(d.Port, d.EventDone, d.Wake, left(), events, code)) {
      case WaitOutcome::Events:
        if (events & EvRxChar) d.ConsumedAtReport = d.Consumed.load();
        if (events != 0) return events;
        break;  // the mask changed under the wait
      case WaitOutcome::Woken:
      case WaitOutcome::TimedOut:
        return 0;
      case WaitOutcome::Aborted:
        continue;
      case WaitOutcome::Failed:
        if ((code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER) &&
            (mask & LineAndModemEvents) && (mask & ~LineAndModemEvents)) {
          uint32_t expected = mask;
          const uint32_t reduced = mask & ~LineAndModemEvents;
          if (d.Mask.compare_exchange_strong(expected, reduced)) SetCommMask(d.Port, reduced);
          continue;
        }
        return 0;
    }
    return 0;
  }
  return 0;
}

uint32_t SerialDevice::ClearError(uint32_t* inQue) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(impl_->Port, &errors, &status)) return 0;
  if (inQue) *inQue = status.cbInQue;
  return errors | impl_->TakenErrors.exchange(0);
}

uint32_t SerialDevice::ModemStatus() {
  DWORD status = 0;
  return GetCommModemStatus(impl_->Port, &status) ? status : 0;
}

SysError SerialDevice::SetDtr(bool on) {
  if (EscapeCommFunction(impl_->Port, on ? SETDTR : CLRDTR)) return {};
  return Win32Error(GetLastError(),
                    std::string("cannot ") + (on ? "raise" : "drop") + " DTR on " + impl_->Name);
}

SysError SerialDevice::SetRts(bool on) {
  if (EscapeCommFunction(impl_->Port, on ? SETRTS : CLRRTS)) return {};
  return Win32Error(GetLastError(),
                    std::string("cannot ") + (on ? "raise" : "drop") + " RTS on " + impl_->Name);
}

void SerialDevice::Purge() {
  PurgeComm(impl_->Port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// The driver, and the USB adapter below it, hand a short reply over in one
// piece already.
void SerialDevice::ExpectReply(uint32_t /*bytes*/) {}

uint32_t SerialDevice::Read(void* buffer, uint32_t count) {
  Impl& d = *impl_;
  if (count == 0) return 0;
  // Only what is queued is asked for, so that ReadFile completes at once
  // even with a driver that ignores the time-outs set at Open; the bound is
  // for one that still does not.
  constexpr DWORD ReadBoundMs = 1000;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(d.Port, &errors, &status)) return 0;
  count = std::min<uint32_t>(count, status.cbInQue);
  if (count == 0) return 0;
  OVERLAPPED transfer{};
  transfer.hEvent = d.ReadDone;
  ResetEvent(d.ReadDone);
  DWORD n = 0;
  if (!ReadFile(d.Port, buffer, count, &n, &transfer)) {
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    bool timedOut = false;
    n = FinishPending(d.Port, transfer, ReadBoundMs, &timedOut);
  }
  d.Consumed += n;
  return n;
}

uint32_t SerialDevice::Write(const void* buffer, uint32_t count, int timeoutMs, SysError& error) {
  Impl& d = *impl_;
  error = {};
  if (count == 0) return 0;
  OVERLAPPED transfer{};
  transfer.hEvent = d.WriteDone;
  ResetEvent(d.WriteDone);
  DWORD n = 0;
  if (WriteFile(d.Port, buffer, count, &n, &transfer)) {
    if (n < count)
      error = SysError{
          ErrorCause::TimedOut, ERROR_SEM_TIMEOUT,
          d.Name + ": " + std::to_string(n) + " of " + std::to_string(count) + " bytes written"};
    return n;
  }
  const DWORD code = GetLastError();
  if (code != ERROR_IO_PENDING) {
    error = Win32Error(code, "cannot write to " + d.Name);
    return 0;
  }
  bool timedOut = false;
  n = FinishPending(d.Port, transfer, static_cast<DWORD>(std::max(timeoutMs, 0)), &timedOut);
  if (n == count) return n;
  if (timedOut) {
    error = SysError{ErrorCause::TimedOut, WAIT_TIMEOUT,
                     d.Name + ": " + std::to_string(n) + " of " + std::to_string(count) +
                         " bytes written within " + std::to_string(timeoutMs) + " ms"};
  } else {
    error = Win32Error(GetLastError(), "cannot write to " + d.Name);
  }
  return n;
}
