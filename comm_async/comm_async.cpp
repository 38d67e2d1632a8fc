#include "comm_async.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "watcher_thread.h"

// ---------------------------------------------------------------------------
// CommEvent

void CommEvent::Set() {
  // Notifying under the lock: a waiter that owns the event on its stack (Open's
  // start event) may destroy it as soon as it can return.
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  cv_.notify_all();
}

void CommEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool CommEvent::Wait(const std::atomic<bool>* keepWaiting) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return signalled_ || (keepWaiting && !keepWaiting->load()); });
  if (keepWaiting && !keepWaiting->load()) return false;
  if (!manual_) signalled_ = false;
  return true;
}

bool CommEvent::WaitFor(std::chrono::milliseconds timeout, const std::atomic<bool>* keepWaiting) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ended = cv_.wait_for(
      lock, timeout, [&] { return signalled_ || (keepWaiting && !keepWaiting->load()); });
  if (!ended || !signalled_) return false;
  if (keepWaiting && !keepWaiting->load()) return false;
  if (!manual_) signalled_ = false;
  return true;
}

void CommEvent::Wake() {
  // Taking the lock orders this wake after a waiter's look at its flag, so a
  // flag cleared just before cannot be missed.
  { std::lock_guard<std::mutex> lock(mutex_); }
  cv_.notify_all();
}

// ---------------------------------------------------------------------------
// Watcher

namespace {

// EV_ bit of each TEventMaskElement, by ordinal.
constexpr std::array<uint32_t, 9> EventBits = {EvBreak, EvCts,    EvDsr,    EvErr,    EvRing,
                                               EvRlsd,  EvRxChar, EvRxFlag, EvTxEmpty};

// Events that make the watcher post an error or a characters notification;
// anything else in a wake-up becomes a comm event, but only when these are absent.
constexpr uint32_t ErrOrRxChar = EvErr | EvRxChar;

// Events of Open's own first comm event: every bit, so that a handler can
// tell it from anything the device reports.
constexpr uint32_t OpenEvents = 0xFFFFFFFF;

// A device wait that failed at once is retried after this pause, so that a
// persistent failure costs no more than a few wake-ups per second.
constexpr std::chrono::milliseconds FailedWaitPause{20};

// The watcher may post only after the previous notification has been handled.
// False when the port closed in the meantime: nothing more may be posted.
bool TakeHandBack(PortStateBlock& block) {
  if (!block.HandledEvent.Wait(&block.Connected)) return false;
  block.HandledEvent.Reset();
  return true;
}

void CommWatchThread(PortStateBlock* block) {
  PortStateBlock& s = *block;
  const uint64_t self = CurrentThreadOsId();
  s.WatcherThreadId.store(self);
  SetThreadPriorityBelowNormal(self);
  s.PortHandle->SetMask(s.CommMask);
  s.WatcherRunning.store(true);
  // Open waits for this and drops the event afterwards: not touched again.
  s.StartedEvent->Set();

  while (s.Connected.load()) {
    // The device is looked at again only once the last notification has been
    // handled: it cannot be posted before anyway, what happens meanwhile is
    // kept (arrival count, error flags, line counters) for that one look, and
    // the handler has usually read the queue empty by then, which spares a
    // wake-up for bytes already reported.
    if (!s.HandledEvent.Wait(&s.Connected)) break;
    const uint32_t events = s.PortHandle->WaitEvent();
    if (events == 0) {
      // Either Close woke us (the loop test ends it) or the wait failed.
      if (s.Connected.load()) s.PauseEvent.WaitFor(FailedWaitPause, &s.Connected);
      continue;
    }
    uint32_t inQue = 0;
    const uint32_t errors = s.PortHandle->ClearError(&inQue);
    if (events & EvErr) {
      if (!TakeHandBack(s)) break;
      s.NotifyWindow->Post(WM_COMMERROR, errors, CommMessageMarker);
    }
    if (events & EvRxChar) {
      if (!TakeHandBack(s)) break;
      s.NotifyWindow->Post(WM_COMMCHAR, inQue, CommMessageMarker);
    }
    if ((events & ErrOrRxChar) == 0) {
      const uint32_t modem = s.PortHandle->ModemStatus();
      if (!TakeHandBack(s)) break;
      s.NotifyWindow->Post(WM_COMMEVENT, events, modem);
    }
  }
  s.WatcherRunning.store(false);
  s.WatcherThreadId.store(0);
}

// Sets the hand-back when leaving, also when the handler throws.
class HandBackGuard {
 public:
  explicit HandBackGuard(CommEvent& event) : event_(event) {}
  ~HandBackGuard() { event_.Set(); }
  HandBackGuard(const HandBackGuard&) = delete;
  HandBackGuard& operator=(const HandBackGuard&) = delete;

 private:
  CommEvent& event_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TComm

TComm::TComm(NotifyTarget& notifyWindow) {
  state_.NotifyWindow = &notifyWindow;
  dcb_.DCBlength = sizeof(Dcb);
}

TComm::~TComm() {
  Close();
}

void TComm::SetPort(uint8_t value) {
  if (Connected() || value == state_.Port || value < 1 || value > 4) return;
  state_.Port = value;
}

TBaudRate TComm::BaudRate() const {
  for (size_t i = 0; i < BitRates.size(); ++i) {
    if (BitRates[i] == dcb_.BaudRate) return static_cast<TBaudRate>(i);
  }
  return cbr256000;
}

void TComm::SetBaudRate(TBaudRate value) {
  if (value >= BitRates.size()) return;
  dcb_.BaudRate = BitRates[value];
  ApplySettings();
}

void TComm::SetByteSize(uint8_t value) {
  if (value == dcb_.ByteSize || value < 3 || value > 8) return;
  dcb_.ByteSize = value;
  ApplySettings();
}

TParity TComm::Parity() const {
  return dcb_.Parity >= OddParity && dcb_.Parity <= SpaceParity ? static_cast<TParity>(dcb_.Parity)
                                                                : cpNONE;
}

void TComm::SetParity(TParity value) {
  if (value > cpSPACE) return;
  dcb_.Flags |= DcbParity;
  dcb_.Parity = value;  // the enumerators are the device's parity codes
  if (value == cpNONE) dcb_.Flags &= ~DcbParity;
  ApplySettings();
}

TStopBits TComm::StopBits() const {
  if (dcb_.StopBits == OneStopBit) return csbONE;
  if (dcb_.StopBits == One5StopBits) return csbONE5;
  return csbTWO;
}

void TComm::SetStopBits(TStopBits value) {
  if (value > csbTWO) return;
  dcb_.StopBits = value;  // the enumerators are the device's stop-bit codes
  ApplySettings();
}

namespace {
// Flag bits that a flow-control choice leaves alone.
constexpr uint32_t FlowControlKeep = 0x4C83;
// Flag words added for each TFlowControl.
constexpr uint32_t FlowNone = DcbBinary | DcbDtrControlEnable;  // 0x11
constexpr uint32_t FlowHardware =
    DcbBinary | DcbOutxCtsFlow | DcbDtrControlEnable | DcbRtsHandshake;               // 0x2015
constexpr uint32_t FlowXonXoff = DcbBinary | DcbDtrControlEnable | DcbOutX | DcbInX;  // 0x311
static_assert(FlowNone == 0x11 && FlowHardware == 0x2015 && FlowXonXoff == 0x311);
}  // namespace

TFlowControl TComm::FlowControl() const {
  if (dcb_.Flags & DcbRtsHandshake) return cfcHardware;
  if ((dcb_.Flags & (DcbOutX | DcbInX)) == (DcbOutX | DcbInX)) return cfcXonXoff;
  return cfcNone;
}

void TComm::SetFlowControl(TFlowControl value) {
  if (value > cfcXonXoff) return;
  // The kept bits include fBinary, which every choice sets again: the bits are
  // merged, not added, or a second choice would carry fBinary into fParity.
  dcb_.Flags &= FlowControlKeep;
  switch (value) {
    case cfcNone:
      dcb_.Flags |= FlowNone;
      break;
    case cfcHardware:
      dcb_.Flags |= FlowHardware;
      break;
    case cfcXonXoff:
      dcb_.Flags |= FlowXonXoff;
      break;
  }
  ApplySettings();
}

void TComm::SetInBufSize(uint32_t value) {
  if (value == 0) return;
  state_.InBufSize = value;
  ApplySettings();
}

void TComm::SetOutBufSize(uint32_t value) {
  if (value == 0) return;
  state_.OutBufSize = value;
  ApplySettings();
}

TEventMask TComm::EventMask() const {
  TEventMask set = 0;
  for (size_t i = 0; i < EventBits.size(); ++i) {
    if (state_.CommMask & EventBits[i]) set |= EventMaskOf(static_cast<TEventMaskElement>(i));
  }
  return set;
}

void TComm::SetEventMask(TEventMask value) {
  // The watcher reads the mask while it runs.
  if (Connected()) return;
  uint32_t mask = 0;
  for (size_t i = 0; i < EventBits.size(); ++i) {
    if (value & EventMaskOf(static_cast<TEventMaskElement>(i))) mask |= EventBits[i];
  }
  state_.CommMask = mask;
}

std::string TComm::DevicePath() const {
  return devicePath_.empty() ? SerialDevice::DevicePath(state_.Port) : devicePath_;
}

void TComm::SetDevicePath(std::string path) {
  if (Connected()) return;
  devicePath_ = std::move(path);
}

bool TComm::Open() {
  if (Connected()) return false;
  std::unique_ptr<SerialDevice> device = SerialDevice::Open(DevicePath(), lastError_);
  if (!device) return false;
  // The line settings reach the device before the watcher exists. A port
  // that refuses them cannot talk to the device at all.
  lastError_ = device->Apply(dcb_, state_.InBufSize, state_.OutBufSize);
  if (lastError_) {
    (void)device->SetDtr(false);
    (void)device->SetRts(false);
    return false;
  }
  device_ = std::move(device);
  device_->SetReportLeftovers(NotifyAgainForUnreadBytes);
  state_.PortHandle = device_.get();
  state_.Connected.store(true);

  if (WatchOnOwnThread) {
    device_->SetMask(state_.CommMask);
    DoCommEvent(OpenEvents, device_->ModemStatus());
    return true;
  }

  CommEvent started(false, false);
  state_.StartedEvent = &started;
  try {
    watcher_ = std::thread(CommWatchThread, &state_);
  } catch (const std::system_error& e) {
    lastError_ = SysError{ErrorCause::Other, e.code().value(),
                          "cannot start the watcher of " + DevicePath() + ": " + e.what()};
    state_.StartedEvent = nullptr;
    state_.Connected.store(false);
    (void)device_->SetDtr(false);
    (void)device_->SetRts(false);
    device_->Purge();
    state_.PortHandle = nullptr;
    device_.reset();
    return false;
  }
  // The watcher sets it as its first act after setting the mask; it cannot
  // end before that, so this wait is bounded by the thread's start.
  started.Wait();
  state_.StartedEvent = nullptr;

  DoCommEvent(OpenEvents, device_->ModemStatus());
  return true;
}

void TComm::Close() {
  if (!Connected()) return;
  state_.Connected.store(false);
  device_->SetMask(0);
  // A watcher waiting for the hand-back of a notification that is still
  // queued for this very thread would never get it: let it see the flag.
  state_.HandledEvent.Wake();
  state_.PauseEvent.Wake();
  SetThreadPriorityNormal(state_.WatcherThreadId.load());
  if (watcher_.joinable()) watcher_.join();
  // Nobody waits for the outcome of closing: a line that cannot be dropped
  // drops with the handle.
  (void)device_->SetDtr(false);
  (void)device_->SetRts(false);
  device_->Purge();
  state_.PortHandle = nullptr;
  device_.reset();
}

uint32_t TComm::Read(void* buffer, uint32_t count) {
  if (!Connected()) return 0;
  return device_->Read(buffer, count);
}

void TComm::ExpectReply(uint32_t bytes) {
  if (Connected()) device_->ExpectReply(bytes);
}

namespace {
constexpr int WriteTimeoutMs = 1000;
}

uint32_t TComm::Write(const void* buffer, uint32_t count) {
  if (!Connected()) return 0;
  SysError error;
  const uint32_t written = device_->Write(buffer, count, WriteTimeoutMs, error);
  if (!error) return written;
  lastError_ = std::move(error);
  return 0;
}

void TComm::ShowSetupDialog() {
  if (!setupDialog_) return;
  Dcb shown = Connected() ? device_->Current() : dcb_;
  if (!setupDialog_(state_.Port, DevicePath(), shown)) return;
  dcb_ = shown;
  ApplySettings();
}

void TComm::SetDcb(const Dcb& dcb) {
  dcb_ = dcb;
  dcb_.DCBlength = sizeof(Dcb);
  ApplySettings();
}

void TComm::ApplySettings() {
  if (!Connected()) return;
  if (SysError error = device_->Apply(dcb_, state_.InBufSize, state_.OutBufSize))
    lastError_ = std::move(error);
}

void TComm::WndProc(uint32_t message, uint32_t wParam, uint32_t lParam) {
  switch (message) {
    case WM_COMMEVENT:
      DoCommEvent(wParam, lParam);
      break;
    case WM_COMMCHAR:
      if (lParam == CommMessageMarker) DoCharReceived(wParam);
      break;
    case WM_COMMERROR:
      if (lParam == CommMessageMarker) DoCommError(wParam);
      break;
    default:
      // The hidden window has no other use for messages.
      break;
  }
}

bool TComm::WatchOnce(std::chrono::milliseconds timeout) {
  if (watcher_.joinable()) return false;
  if (!Connected()) {
    // The caller's loop keeps its pace while the port is closed.
    std::this_thread::sleep_for(timeout);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  const uint32_t events = device_->WaitEvent(static_cast<int>(timeout.count()));
  if (events == 0) {
    // A wait that failed at once must not turn the caller's loop into a spin.
    const auto pause = std::min<std::chrono::milliseconds>(
        FailedWaitPause, std::chrono::duration_cast<std::chrono::milliseconds>(
                             timeout - (std::chrono::steady_clock::now() - start)));
    if (Connected() && pause.count() > 0) state_.PauseEvent.WaitFor(pause, &state_.Connected);
    return false;
  }
  uint32_t inQue = 0;
  const uint32_t errors = device_->ClearError(&inQue);
  // A handler may close the port: each looks again before the next runs.
  if (events & EvErr) DoCommError(errors);
  if ((events & EvRxChar) && Connected()) DoCharReceived(inQue);
  if ((events & ErrOrRxChar) == 0 && Connected()) DoCommEvent(events, device_->ModemStatus());
  return true;
}

void TComm::DoCommEvent(uint32_t events, uint32_t state) {
  HandBackGuard handBack(state_.HandledEvent);
  if (OnCommEvent) OnCommEvent(this, events, state);
}

void TComm::DoCharReceived(uint32_t cbInQue) {
  HandBackGuard handBack(state_.HandledEvent);
  if (OnCharReceived) OnCharReceived(this, cbInQue);
}

void TComm::DoCommError(uint32_t errorCode) {
  HandBackGuard handBack(state_.HandledEvent);
  if (OnCommError) OnCommError(this, errorCode);
}
