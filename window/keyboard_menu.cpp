#include "keyboard_menu.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

KeyboardMenu::KeyboardMenu(QWidget& window) : QObject(&window), window_(window) {
  QCoreApplication::instance()->installEventFilter(this);
}

bool KeyboardMenu::eventFilter(QObject* watched, QEvent* e) {
  bool open = false;
  switch (e->type()) {
    case QEvent::KeyPress: {
      const auto* key = static_cast<const QKeyEvent*>(e);
      const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
      open = key->key() == Qt::Key_Menu ||
             (key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier);
      break;
    }
    case QEvent::ContextMenu:
      // What the window system makes of the menu key; the window's own
      // request is the window's to handle.
      open = watched != &window_ &&
             static_cast<const QContextMenuEvent*>(e)->reason() == QContextMenuEvent::Keyboard;
      break;
    default:
      return false;
  }
  if (!open) return false;
  const auto* widget = qobject_cast<const QWidget*>(watched);
  // Boxes, dialogs and open menus have keys of their own.
  if (widget == nullptr || widget->window() != &window_) return false;
  const QPoint centre = window_.rect().center();
  QContextMenuEvent request(QContextMenuEvent::Keyboard, centre, window_.mapToGlobal(centre));
  QCoreApplication::sendEvent(&window_, &request);
  return true;
}
