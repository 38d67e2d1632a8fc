// The platform seam of the serial component: one open serial device, in the
// component's own vocabulary. One backend per system, chosen in CMake
// (serial_device_posix.cpp; a Win32 backend goes beside it). No OS type
// appears here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comm_types.h"

class SerialDevice {
 public:
  // The device file that port n (1 to 4) opens.
  static std::string DevicePath(uint8_t port);
  // Opens the port's device for reading and writing, exclusively: a second
  // open of the same device, by this program or another, fails. Nullptr when
  // it cannot be opened.
  static std::unique_ptr<SerialDevice> Open(uint8_t port);

  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Line settings and queue sizes. Failures are not reported.
  void Apply(const Dcb& dcb, uint32_t inBufSize, uint32_t outBufSize);
  // The settings in force on the device, in Dcb form.
  Dcb Current() const;

  // The events WaitEvent reports. A mask of 0 makes a pending WaitEvent return
  // at once with 0, and so does every later WaitEvent until a new mask is set.
  void SetMask(uint32_t mask);
  // Blocks until one of the masked events happens and returns its EV_ bits;
  // 0 when woken by SetMask(0) or when the wait failed. Called by the watcher
  // thread only.
  uint32_t WaitEvent();
  // When on, bytes that a characters notification left unread are reported
  // again once the handler took some of them, so that a handler may hand its
  // thread back with bytes still waiting. Off, only new bytes are reported.
  void SetReportLeftovers(bool on);
  // Takes and clears the pending CE_ error flags; *inQue gets the number of
  // bytes waiting in the input queue.
  uint32_t ClearError(uint32_t* inQue);
  // MS_ bits of the modem lines.
  uint32_t ModemStatus();
  void SetDtr(bool on);
  void SetRts(bool on);
  // Aborts pending transfers and empties both queues.
  void Purge();

  // Copies at most `count` bytes that are already in the input queue; never
  // waits for more. 0 when none is waiting or on failure.
  uint32_t Read(void* buffer, uint32_t count);
  // Writes `count` bytes, waiting at most timeoutMs for room in the output
  // queue. Returns the bytes written; 0 on failure or time-out.
  uint32_t Write(const void* buffer, uint32_t count, int timeoutMs);

 private:
  struct Impl;
  explicit SerialDevice(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
