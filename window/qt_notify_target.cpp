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
  if (receiver_) receiver_(type, n->WParam, n->LParam);
  return true;
}
