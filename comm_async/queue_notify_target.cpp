#include "queue_notify_target.h"

void QueueNotifyTarget::Post(uint32_t message, uint32_t wParam, uint32_t lParam) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({message, wParam, lParam});
  }
  cv_.notify_one();
}

bool QueueNotifyTarget::PumpOne(TComm& comm, std::chrono::milliseconds timeout) {
  Message message;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
    message = queue_.front();
    queue_.pop_front();
  }
  // The handler runs without the lock: it may take as long as it likes while
  // the watcher posts the next message.
  comm.WndProc(message.Number, message.WParam, message.LParam);
  return true;
}

size_t QueueNotifyTarget::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}
