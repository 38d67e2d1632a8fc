// Form1 offscreen against the simulated device: the window as the operator
// has it, with the warning box, the file dialogs and the close question
// answered by the test, and the Qt event loop run until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "rig.h"
#include "ui_Unit1.h"
#include "window/Unit1.h"

// Readable failure messages; found by argument lookup, so outside the namespace.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace integration {

// The log pane keeps line ends as single line breaks.
inline QString AsShown(std::string_view logText) {
  QString text = QString::fromUtf8(logText.data(), static_cast<qsizetype>(logText.size()));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

class FormRig {
 public:
  explicit FormRig(const WorkFolder& folder,
                   std::chrono::milliseconds sectorTableByteTimeout = 1000ms) {
    form_ = std::make_unique<TForm1>();
    form_->WarningHook = [this](const QString& text) { Warnings << text; };
    form_->FileDialogHook = [this](const QString& title,
                                   const QString& filter) -> std::optional<QString> {
      DialogsRun << title + QStringLiteral(" | ") + filter;
      if (FileAnswers.empty()) return std::nullopt;
      std::optional<QString> answer = FileAnswers.front();
      FileAnswers.pop_front();
      return answer;
    };
    form_->ConfirmCloseHook = [] { return true; };
    form_->ConfirmHook = [](const QString&) { return true; };
    Session& session = form_->GetSession();
    session.WorkingDirectory = folder.Path();
    session.TemporaryImagePath = folder.File("tmp.bin");
    session.SectorTableByteTimeout = sectorTableByteTimeout;
    // Records and saved identities stay in the test's folder: one test's
    // identity is never offered to the next.
    StoreConfig config;
    config.LocalPath = folder.File("updater.db");
    std::string why;
    store_ = RecordStore::Open(config, &why);
    EXPECT_TRUE(store_) << why;
    form_->UseRecordStore(store_.get());
    form_->show();
    form_->activateWindow();
    Activated = QTest::qWaitForWindowActive(form_.get());
  }
  ~FormRig() {
    // The port closes with the window; let what is still queued go first.
    QCoreApplication::processEvents();
  }
  FormRig(const FormRig&) = delete;
  FormRig& operator=(const FormRig&) = delete;

  TForm1& Form() { return *form_; }
  RecordStore& Store() { return *store_; }
  Ui::TForm1& W() { return form_->Widgets(); }
  Session& TheSession() { return form_->GetSession(); }
  QString Log() const { return form_->Widgets().Memo2->toPlainText(); }

  // Runs the event loop until `done` holds; false once `timeout` passed.
  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = JobPatience) {
    QElapsedTimer timer;
    timer.start();
    // The loop sleeps until something happens; the tick only makes sure the
    // deadline is looked at while nothing does. Spinning instead would take
    // the processor from the watcher and the simulated unit.
    QTimer tick;
    tick.start(20);
    while (!done()) {
      if (timer.elapsed() > timeout.count()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
  }

  // A left click, as the operator gives it; a disabled control is refused
  // before the click so that the failure says which one.
  ::testing::AssertionResult Click(QAbstractButton* button) {
    if (!button->isEnabled()) {
      return ::testing::AssertionFailure() << button->objectName().toStdString() << " is disabled";
    }
    QTest::mouseClick(button, Qt::LeftButton);
    return ::testing::AssertionSuccess();
  }

  // Clicks `button` and runs the loop until `done`; on failure the log since
  // the click and the session state tell where it stood.
  ::testing::AssertionResult ClickAndWait(QAbstractButton* button,
                                          const std::function<bool()>& done,
                                          std::chrono::milliseconds timeout = JobPatience) {
    const qsizetype mark = Log().size();
    if (auto clicked = Click(button); !clicked) return clicked;
    if (ProcessUntil(done, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << button->objectName().toStdString() << ": no end in sight; state "
           << static_cast<int>(TheSession().SessionState()) << ", log:\n"
           << Log().mid(mark).toStdString() << "\nwarnings: " << Warnings.join(" / ").toStdString();
  }

  // True when the service menu offers the device's jobs.
  bool ServiceJobsOffered() {
    std::unique_ptr<QMenu> menu = form_->BuildServiceMenu();
    for (const QAction* action : menu->actions()) {
      if (action->text() == QStringLiteral("erase sectors 8 and 9")) return true;
    }
    return false;
  }

  // The service menu's entry of that text, triggered; false when it is missing.
  ::testing::AssertionResult TriggerServiceEntry(const QString& text) {
    std::unique_ptr<QMenu> menu = form_->BuildServiceMenu();
    if (!menu) return ::testing::AssertionFailure() << "no service menu";
    for (QAction* action : menu->actions()) {
      if (action->text() == text) {
        action->trigger();
        return ::testing::AssertionSuccess();
      }
    }
    return ::testing::AssertionFailure() << "no entry " << text.toStdString();
  }

  std::set<std::string> YellowLabels() {
    std::set<std::string> names;
    for (QLabel* label : {W().Label1, W().Label2, W().Label3, W().Label4, W().Label5, W().Label6,
                          W().Label7, W().Label8, W().Label9, W().Label10}) {
      if (label->autoFillBackground() &&
          label->palette().color(QPalette::Window) == QColor(255, 255, 0)) {
        names.insert(label->objectName().toStdString());
      }
    }
    return names;
  }

  std::set<std::string> EnabledControls() {
    std::set<std::string> names;
    for (QWidget* control : std::initializer_list<QWidget*>{
             W().Button1, W().Button3, W().Button4, W().Button6, W().RadioButton1, W().RadioButton2,
             W().RadioButton6, W().RadioButton7}) {
      if (control->isEnabled()) names.insert(control->objectName().toStdString());
    }
    return names;
  }

  QString PanelText() { return W().Panel5->text(); }
  QColor PanelColour() { return W().Panel5->palette().color(QPalette::Window); }

  bool Activated = false;
  QStringList Warnings;
  QStringList DialogsRun;
  std::deque<std::optional<QString>> FileAnswers;

 private:
  // Declared before the window: the records of its last jobs still go here.
  std::unique_ptr<RecordStore> store_;
  std::unique_ptr<TForm1> form_;
};

inline const QColor PanelGreen(0, 128, 0);
inline const QColor PanelRed(255, 0, 0);

}  // namespace integration
