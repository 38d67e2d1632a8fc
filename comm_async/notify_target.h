// The hidden window of the serial component: where the watcher thread posts a
// notification so that it is handled on the window thread.
#pragma once

#include <cstdint>

class NotifyTarget {
 public:
  virtual ~NotifyTarget() = default;
  // Called on the watcher thread. Queues the message for the window thread,
  // which hands it to TComm::WndProc in the order posted; never blocks.
  virtual void Post(uint32_t message, uint32_t wParam, uint32_t lParam) = 0;
};
