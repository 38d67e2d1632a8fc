// The hidden window of Comm1 on Qt: the watcher thread posts a notification as
// a Qt event to an object that lives on the window thread, and the event loop
// hands it to the receiver (TComm::WndProc) in the order posted.
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <functional>

#include "comm_async/notify_target.h"

// One posted notification. The event type is the message number itself.
class CommNotifyEvent : public QEvent {
 public:
  CommNotifyEvent(uint32_t message, uint32_t wParam, uint32_t lParam)
      : QEvent(static_cast<QEvent::Type>(message)), WParam(wParam), LParam(lParam) {}
  uint32_t Message() const { return static_cast<uint32_t>(type()); }
  const uint32_t WParam;
  const uint32_t LParam;
};

class QtNotifyTarget : public QObject, public NotifyTarget {
  Q_OBJECT
 public:
  using Receiver = std::function<void(uint32_t message, uint32_t wParam, uint32_t lParam)>;

  explicit QtNotifyTarget(QObject* parent = nullptr) : QObject(parent) {}

  // Where delivered notifications go; set once, before the port opens.
  void SetReceiver(Receiver receiver) { receiver_ = std::move(receiver); }

  // Watcher thread. Messages outside the three notifications are dropped: the
  // hidden window has nothing to do with them.
  void Post(uint32_t message, uint32_t wParam, uint32_t lParam) override;

 protected:
  bool event(QEvent* e) override;

 private:
  Receiver receiver_;
};
