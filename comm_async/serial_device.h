// The platform seam of the serial component: one open serial device, in the
// component's own vocabulary. One backend per system, chosen in CMake
// (serial_device_posix.cpp, serial_device_win32.cpp). No OS type appears
// here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comm_types.h"
#include "platform/sys_error.h"

class SerialDevice {
 public:
  // The device that port n opens when no other is named: on POSIX the file
  // named by UPDATER_COM<n>, else /dev/ttyS<n-1> (n from 1 to 4); on Windows
  // \\.\COM<n>. Empty when n names no port.
  static std::string DevicePath(uint8_t port);
  // Opens the device for reading and writing, exclusively: a second open of
  // the same device, by this program or another, fails with Busy. Nullptr
  // when it cannot be opened; `error` then tells why, naming the device (and,
  // where the system tells, who holds it).
  static std::unique_ptr<SerialDevice> Open(const std::string& path, SysError& error);

  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Line settings and queue sizes; SettingsRefused when the device does not
  // take them. A device without modem lines (a pseudo-terminal) is no error.
  SysError Apply(const Dcb& dcb, uint32_t inBufSize, uint32_t outBufSize);
  // The settings in force on the device, in Dcb form.
  Dcb Current() const;

  // The events WaitEvent reports. A mask of 0 makes a pending WaitEvent return
  // at once with 0, and so does every later WaitEvent until a new mask is set.
  void SetMask(uint32_t mask);
  // Blocks until one of the masked events happens and returns its EV_ bits;
  // 0 when woken by SetMask(0), when the wait failed, or when `timeoutMs`
  // (negative: no limit) passed first. Called by one thread only: the
  // watcher, or the owner that watches the port itself.
  uint32_t WaitEvent(int timeoutMs = -1);
  // When on, bytes that a characters notification left unread are reported
  // again once the handler took some of them, so that a handler may hand its
  // thread back with bytes still waiting. Off, only new bytes are reported.
  void SetReportLeftovers(bool on);
  // Takes and clears the pending CE_ error flags; *inQue gets the number of
  // bytes waiting in the input queue.
  uint32_t ClearError(uint32_t* inQue);
  // MS_ bits of the modem lines.
  uint32_t ModemStatus();
  SysError SetDtr(bool on);
  SysError SetRts(bool on);
  // Aborts pending transfers and empties both queues.
  void Purge();

  // Copies at most `count` bytes that are already in the input queue; never
  // waits for more. 0 when none is waiting or on failure.
  uint32_t Read(void* buffer, uint32_t count);
  // The next reply of the device is `bytes` long: once its first byte is
  // in, WaitEvent waits the time the line needs for the rest and reports
  // them together (one wake-up for the reply, not one a byte). Only the
  // timing of the characters event changes; a reply late or short is
  // reported as it comes.
  void ExpectReply(uint32_t bytes);
  // Writes `count` bytes, waiting at most timeoutMs for room in the output
  // queue. Returns the bytes written; fewer than `count` only with `error`
  // set: TimedOut (its text tells how many went out) or the system's failure.
  uint32_t Write(const void* buffer, uint32_t count, int timeoutMs, SysError& error);

 private:
  struct Impl;
  explicit SerialDevice(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
