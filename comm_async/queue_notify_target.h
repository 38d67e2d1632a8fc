// A hidden window for programs without a window toolkit (tests, the
// pseudo-terminal checks, the benchmark): a plain queue of posted messages
// that its owner pumps on its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "comm_async.h"
#include "notify_target.h"

class QueueNotifyTarget : public NotifyTarget {
 public:
  void Post(uint32_t message, uint32_t wParam, uint32_t lParam) override;
  // Waits up to `timeout` for one message and hands it to comm.WndProc on the
  // calling thread. True if a message was delivered.
  bool PumpOne(TComm& comm, std::chrono::milliseconds timeout);
  // Messages posted and not yet pumped.
  size_t Pending() const;

 private:
  struct Message {
    uint32_t Number;
    uint32_t WParam;
    uint32_t LParam;
  };
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Message> queue_;
};
