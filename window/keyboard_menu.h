// The menu key and Shift+F10 open the window's own menu wherever the focus
// is in the window, also on a control that has a menu of its own: the log
// pane keeps its menu for the right mouse button only.
#pragma once

#include <QObject>

class QWidget;

class KeyboardMenu : public QObject {
 public:
  // Watches the application's events for `window`'s widgets; a child of
  // `window`, gone with it. The window gets the request as a context-menu
  // event from the keyboard.
  explicit KeyboardMenu(QWidget& window);

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QWidget& window_;
};
