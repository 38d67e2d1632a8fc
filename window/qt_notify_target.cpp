#include "qt_notify_target.h"

#include <QCoreApplication>

#include "comm_async/comm_types.h"

namespace {

bool IsCommMessage(uint32_t message) {
  return message >= WM_COMMEVENT && message <= WM_COMMERROR;
}

}  // namespace

void QtNotifyTarget::Post(uint32_t message, uint32_t wParam, uint32_t lParam) {
  if (!IsCommMessage(message)) return;
  QCoreApplication::postEvent(this, new CommNotifyEvent(message, wParam, lParam));
}

bool QtNotifyTarget::event(QEvent* e) {
  const auto type = static_cast<uint32_t>(e->type());
  if (!IsCommMessage(type)) return QObject::event(e);
  const auto* n = static_cast<const CommNotifyEvent*>(e);
  if (hold_ && hold_()) {
    held_.push_back({type, n->WParam, n->LParam});
  } else if (receiver_) {
    receiver_(type, n->WParam, n->LParam);
  }
  return true;
}

void QtNotifyTarget::ReleaseHeld() {
  // Posted again ahead of anything newer, so the order of delivery stays the
  // order in which the watcher posted.
  while (!held_.empty()) {
    const Held h = held_.front();
    held_.pop_front();
    QCoreApplication::postEvent(this, new CommNotifyEvent(h.Message, h.WParam, h.LParam),
                                Qt::HighEventPriority);
  }
}
