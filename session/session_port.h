// The serial port as the session sees it: the operations the device
// protocol uses. The window adapts Comm1 to it; tests use a scripted fake.
#pragma once

#include <cstdint>

// The serial component's line error flags (its CE_ bits) that the session
// acts on; the others are only logged.
constexpr uint32_t LineErrorBreak = 0x0010;     // the line held at space: the wire is off
constexpr uint32_t LineErrorPortGone = 0x0400;  // the port failed: hung up, unplugged

class SessionPort {
 public:
  virtual ~SessionPort() = default;
  // True if this call opened the port.
  virtual bool Open() = 0;
  virtual bool Connected() const = 0;
  // At most `count` bytes already received; never waits. 0 when none.
  virtual uint32_t Read(void* buffer, uint32_t count) = 0;
  // Bytes written; 0 when the port is closed or the write timed out.
  virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
  // The device's next reply is `bytes` long: a port may tell of it in one
  // piece instead of byte by byte. A hint only.
  virtual void ExpectReply(uint32_t /*bytes*/) {}
};
