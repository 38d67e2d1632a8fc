// A TComm as the session's port.
#pragma once

#include "comm_async/comm_async.h"
#include "session/session_port.h"

class CommSessionPort : public SessionPort {
 public:
  explicit CommSessionPort(TComm& comm) : comm_(comm) {}
  bool Open() override { return comm_.Open(); }
  bool Connected() const override { return comm_.Connected(); }
  uint32_t Read(void* buffer, uint32_t count) override { return comm_.Read(buffer, count); }
  uint32_t Write(const void* buffer, uint32_t count) override { return comm_.Write(buffer, count); }
  void ExpectReply(uint32_t bytes) override { comm_.ExpectReply(bytes); }

 private:
  TComm& comm_;
};
