// TComm: the asynchronous serial port component. It keeps the line settings
// of one port among COM1 to COM4, opens it, reads and writes bytes without
// ever blocking for longer than one second, and while the port is open runs a
// watcher thread that turns serial events into notifications handled on the
// window thread, one at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "comm_types.h"
#include "notify_target.h"
#include "serial_device.h"

class TComm;

using TOnCommEvent = std::function<void(TComm* sender, uint32_t events, uint32_t state)>;
using TOnCharReceived = std::function<void(TComm* sender, uint32_t cbInQue)>;
using TOnCommError = std::function<void(TComm* sender, uint32_t errorCode)>;

// A manual- or auto-reset event shared by the window thread and the watcher.
class CommEvent {
 public:
  CommEvent(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}
  void Set();
  void Reset();
  // Waits until the event is signalled (an auto-reset event is reset again by
  // the wait that takes it), or until *keepWaiting turns false, which is
  // looked at again whenever Wake is called. True when the event was taken;
  // false once *keepWaiting is false, even if the event is signalled, so that
  // a closing port posts nothing more.
  bool Wait(const std::atomic<bool>* keepWaiting = nullptr);
  // As Wait, but gives up after `timeout`.
  bool WaitFor(std::chrono::milliseconds timeout, const std::atomic<bool>* keepWaiting = nullptr);
  // Wakes waiters so that they look at their keepWaiting flag again.
  void Wake();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool signalled_;
};

// Everything the watcher thread works with. The watcher gets a pointer to this
// block, not to the component.
struct PortStateBlock {
  std::atomic<bool> Connected{false};
  uint32_t InBufSize = 0;
  uint32_t OutBufSize = 0;
  uint32_t CommMask = 0;
  uint8_t Port = 0;
  NotifyTarget* NotifyWindow = nullptr;
  SerialDevice* PortHandle = nullptr;
  std::atomic<bool> WatcherRunning{false};
  CommEvent HandledEvent{true, true};
  std::atomic<uint64_t> WatcherThreadId{0};
  CommEvent* StartedEvent = nullptr;
  // Never signalled: the watcher's pause after a failed event wait sleeps on
  // it, so that Close (which wakes it) does not have to sit out the pause.
  CommEvent PauseEvent{true, false};
};

class TComm {
 public:
  // `notifyWindow` stands for the component's hidden window; it must outlive
  // the component.
  explicit TComm(NotifyTarget& notifyWindow);
  virtual ~TComm();
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // Published properties, in the order in which they are stored.
  uint8_t Port() const { return state_.Port; }
  void SetPort(uint8_t value);
  TBaudRate BaudRate() const;
  void SetBaudRate(TBaudRate value);
  uint8_t ByteSize() const { return dcb_.ByteSize; }
  void SetByteSize(uint8_t value);
  TParity Parity() const;
  void SetParity(TParity value);
  TStopBits StopBits() const;
  void SetStopBits(TStopBits value);
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl value);
  char XonChar() const { return dcb_.XonChar; }
  void SetXonChar(char value) { dcb_.XonChar = value; }
  char XoffChar() const { return dcb_.XoffChar; }
  void SetXoffChar(char value) { dcb_.XoffChar = value; }
  char ErrorChar() const { return dcb_.ErrorChar; }
  void SetErrorChar(char value) { dcb_.ErrorChar = value; }
  char EofChar() const { return dcb_.EofChar; }
  void SetEofChar(char value) { dcb_.EofChar = value; }
  char EvtChar() const { return dcb_.EvtChar; }
  void SetEvtChar(char value) { dcb_.EvtChar = value; }
  uint16_t XOnLimit() const { return dcb_.XonLim; }
  void SetXOnLimit(uint16_t value) { dcb_.XonLim = value; }
  uint16_t XOffLimit() const { return dcb_.XoffLim; }
  void SetXOffLimit(uint16_t value) { dcb_.XoffLim = value; }
  bool Connected() const { return state_.Connected.load(); }
  // A characters handler that returns with bytes unread (to keep its thread
  // responsive) is notified again for them. Off by default.
  bool NotifyAgainForUnreadBytes = false;
  // Off (the default): a watcher thread waits for the device's events and
  // posts them to the notify target, and the handlers run where that target
  // hands them to WndProc. On: no watcher is started; the owner calls
  // WatchOnce on the thread that runs the handlers, which spares a hand-over
  // between two threads for every reply of the device. Taken at Open.
  bool WatchOnOwnThread = false;
  uint32_t InBufSize() const { return state_.InBufSize; }
  void SetInBufSize(uint32_t value);
  uint32_t OutBufSize() const { return state_.OutBufSize; }
  void SetOutBufSize(uint32_t value);
  TEventMask EventMask() const;
  void SetEventMask(TEventMask value);
  TOnCommEvent OnCommEvent;
  TOnCharReceived OnCharReceived;
  TOnCommError OnCommError;

  // The line settings record and the raw event mask, for the settings dialog
  // and for tests.
  const Dcb& GetDcb() const { return dcb_; }
  // Takes a whole line-settings record (one the settings dialog produced and
  // the window kept), and applies it while open.
  void SetDcb(const Dcb& dcb);
  uint32_t CommMask() const { return state_.CommMask; }
  // The device that Open opens: the one named with SetDevicePath, else the
  // default of the current port (see SerialDevice::DevicePath).
  std::string DevicePath() const;
  // Names the device explicitly (a path such as /dev/ttyUSB0, or COM12);
  // empty goes back to the port's default. Ignored while open.
  void SetDevicePath(std::string path);

  // True if this call opened the port and started the watcher. False when it
  // was open already (LastError unchanged) or the device could not be opened
  // or refused the line settings (LastError tells why).
  bool Open();
  void Close();
  // At most `count` bytes already queued; never waits for more. 0 when none,
  // when closed, or on failure.
  uint32_t Read(void* buffer, uint32_t count);
  // The device's next reply is `bytes` long: its characters notification
  // comes once the whole reply is in (or the line's time for it has
  // passed), not once a byte. No notification is lost or merged otherwise.
  void ExpectReply(uint32_t bytes);
  // Bytes written; 0 when closed or not finished within 1000 ms (LastError
  // then tells how many went out).
  uint32_t Write(const void* buffer, uint32_t count);
  // Why the last failed Open, line-setting call or Write failed; a successful
  // Open clears it.
  const SysError& LastError() const { return lastError_; }
  // Runs the settings dialog (see SetSetupDialog) on the settings in force
  // and, if confirmed, takes them into Dcb and applies them.
  void ShowSetupDialog();
  // Pushes Dcb and the queue sizes to the device while open.
  void ApplySettings();

  // The settings dialog: gets the device path, the port number and the Dcb to
  // show; returns true and the edited Dcb when the operator confirms. Set by
  // the window; without one, ShowSetupDialog does nothing.
  using SetupDialog = std::function<bool(uint8_t port, const std::string& devicePath, Dcb& dcb)>;
  void SetSetupDialog(SetupDialog dialog) { setupDialog_ = std::move(dialog); }

  // The window procedure of the hidden window: runs on the window thread for
  // every message the watcher posted.
  void WndProc(uint32_t message, uint32_t wParam, uint32_t lParam);

  // With WatchOnOwnThread: waits up to `timeout` for the device's events and
  // runs their handlers on the calling thread, as the watcher's notifications
  // would run. True when a handler ran; false after the timeout (a closed
  // port has nothing to report and waits it out too), and at once when the
  // port was opened with a watcher.
  bool WatchOnce(std::chrono::milliseconds timeout);

 protected:
  virtual void DoCommEvent(uint32_t events, uint32_t state);
  virtual void DoCharReceived(uint32_t cbInQue);
  virtual void DoCommError(uint32_t errorCode);

 private:
  PortStateBlock state_;
  Dcb dcb_{};
  std::unique_ptr<SerialDevice> device_;
  std::thread watcher_;
  SetupDialog setupDialog_;
  std::string devicePath_;
  SysError lastError_;
};
