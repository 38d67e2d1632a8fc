// A Form1 that is shown and active, with every modal box and dialog answered
// by the test, and what they were asked recorded.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <functional>
#include <optional>

#include "tests/support/session_fakes.h"
#include "ui_Unit1.h"
#include "window/Unit1.h"

// Readable failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

// Runs the event loop until `done` holds; false when it never did.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

inline QColor BackgroundOf(const QWidget* w) {
  return w->palette().color(QPalette::Window);
}
inline QColor ButtonFaceColour() {
  return QApplication::palette().color(QPalette::Button);
}
inline const QColor YellowColour(255, 255, 0);

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_ = std::make_unique<TForm1>();
    form_->WarningHook = [this](const QString& text) { warnings_ << text; };
    form_->FileDialogHook = [this](const QString& title,
                                   const QString& filter) -> std::optional<QString> {
      dialogs_ << title + QStringLiteral(" | ") + filter;
      return nextFileName_;
    };
    form_->ConfirmHook = [](const QString&) { return true; };
    form_->ConfirmCloseHook = [this] {
      ++closeQuestions_;
      return closeAnswer_;
    };
    form_->show();
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  }

  TForm1& Form() { return *form_; }
  Ui::TForm1& W() { return form_->Widgets(); }
  QString Log() const { return form_->Widgets().Memo2->toPlainText(); }

  std::unique_ptr<TForm1> form_;
  QStringList warnings_;
  QStringList dialogs_;
  std::optional<QString> nextFileName_;
  int closeQuestions_ = 0;
  bool closeAnswer_ = false;
};
