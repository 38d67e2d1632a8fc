// The main window Form1: the operator's numbered steps, the port choice, the
// buttons, and the log, progress bar and status panel the session reports in.
// The window is thin: it maps the session's window interface onto widgets and
// hands clicks and serial notifications to the session.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm_async/comm_async.h"
#include "core/port_core.h"
#include "firmware/image_plan.h"
#include "qt_notify_target.h"
#include "session/job_observer.h"
#include "session/session.h"
#include "session/widget_view.h"
#include "store/record_store.h"

class QLabel;
class QMenu;
class QRadioButton;

namespace Ui {
class TForm1;
}

// The two file-open dialogs of the window.
enum class FileDialog : uint8_t {
  OpenDialog3,  // "select new firmware", "(*.*)|*.*"
  OpenDialog5,  // "Zieldatei", "(*.2bf)|*.2bf|(*.*)|*.*"
};

class TForm1 : public QWidget, public JobObserver, public WidgetView {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // --- Hooks that answer the modal boxes and dialogs instead of the operator
  // (tests). Unset, the real box or dialog runs.
  // The warning box; gets its text.
  std::function<void(const QString& text)> WarningHook;
  // A file-open dialog; gets its title and the filter in Qt's form, returns the
  // chosen name or nothing for Cancel.
  std::function<std::optional<QString>(const QString& title, const QString& filter)> FileDialogHook;
  // The question before closing during a flash job; true closes.
  std::function<bool()> ConfirmCloseHook;
  // The "save log" dialog; gets its title, returns the chosen path or an
  // empty string for Cancel.
  std::function<QString(const QString& title)> SaveFileHook;
  // Sees every job's outcome after the window has shown it.
  std::function<void(Job, const JobResult&)> JobFinishedHook;
  // The folder dialog of the upload files; gets its title, returns the chosen
  // folder or an empty string for Cancel.
  std::function<QString(const QString& title)> FolderDialogHook;
  // A Yes/No question to the operator (No is the default): erase sectors 8
  // and 9?, use a saved identity?; true for Yes.
  std::function<bool(const QString& question)> ConfirmHook;
  // The clock the session's waits are measured with (tests move it on).
  std::function<std::chrono::steady_clock::time_point()> TickClock;
  // The port-settings dialog, in the form Comm1 calls it.
  TComm::SetupDialog SetupDialogHook;
  // The records dialog of the service menu: edits station, operator and line
  // database in place; false for Cancel.
  std::function<bool(QString& station, QString& person, QString& database)> RecordSettingsHook;
  // A choice among `items` (the saved identities, the likeliest first);
  // the index chosen, or -1 for none.
  std::function<int(const QString& question, const QStringList& items)> ChooseHook;

  // Opens the record store as the settings name it (the line database, the
  // station and the operator); the jobs' records go there. A store that
  // cannot be opened is said in the log; the jobs run all the same.
  void OpenRecordStore();
  // Records go to `store` (owned by the caller) instead.
  void UseRecordStore(RecordStore* store);
  RecordStore* Store() { return core_->Records.Store; }

  Ui::TForm1& Widgets() { return *ui_; }
  Session& GetSession() { return core_->GetSession(); }
  PortCore& Core() { return *core_; }
  QtNotifyTarget& NotifyWindow() { return notifyWindow_; }

  // The service menu: the service jobs the layout has no control for (read
  // sectors 8 and 9 into a file, which asks for its destination itself; erase
  // sectors 8 and 9), offered only while the port is open, and the window's
  // own entries.
  std::unique_ptr<QMenu> BuildServiceMenu();

  // COM n opens `device` from now on, in this run and the next ones (unless
  // UPDATER_COM<n> names another).
  void RememberPortDevice(uint8_t port, const QString& device);
  // The name of the environment variable that fixes the device of COM n, when
  // it is set; empty otherwise.
  static std::string DeviceVariable(uint8_t port);

  // Loader.hex, F29f160d.hex and "empty" are looked for in `folder` after the
  // working folder, in this run.
  void SetUploadFolder(const QString& folder);
  // Back to the start state, as a fresh start would show it ("start over").
  void StartOver();
  // Chooses COM n (1 to 4) as the operator would, once the window is up.
  void PreselectPort(int port);

  // Everything logged since the start, as shown (line ends "\n").
  const QString& FullLog() const { return fullLog_; }
  // Writes the whole log as UTF-8 text; false with the reason when it failed.
  bool SaveLog(const QString& path, QString* why = nullptr) const;

  // --- Handlers
  void FormActivate();
  void RadioButton1Click(QRadioButton* sender);
  void Button1Click();
  void Button3Click();
  void Button4Click();
  void Button6Click();
  void Button7Click();
  void Button11Click();
  void RadioButton5Click();
  // The serial component's notifications, as the core delivers them.
  void Comm1CommEvent(TComm* sender, uint32_t events, uint32_t state);
  void Comm1CharReceived(TComm* sender, uint32_t cbInQue);
  void Comm1CommError(TComm* sender, uint32_t errorCode);

  // --- JobObserver: what the jobs of the port report
  void LogWrite(std::string_view text) override;
  // The warning box, shown once the pass that asked for it is over.
  void Warning(std::string_view text) override;
  void HostWarning(std::string_view text) override;
  void JobStarted(Job job) override;
  void JobFinished(Job job, const JobResult& result) override;

  // --- WidgetView: the widgets the session drives
  void SetPanelForm(PanelForm form) override;
  void SetPanelCount(int32_t count) override;
  void RepaintPanelNow() override;
  void SetProgress(int32_t percent) override;
  void SetLabelColour(StepLabel label, LabelColour colour) override;
  void SetEnabled(Control control, bool enabled) override;

  // Runs a modal file-open dialog; the chosen name, or nothing when cancelled.
  std::optional<std::string> RunFileDialog(FileDialog dialog);
  // The modal warning box, at once.
  void ShowWarning(std::string_view text);

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  // Runs one call into the core (a job, a notification, a slice, the clock).
  // A pass never opens a box: what it asked for (warnings, questions) is
  // shown once it is over, so nothing runs the core from inside a pass. A
  // sector's next slice follows once the event loop has painted.
  template <typename Pass>
  void RunPass(Pass&& pass);
  bool InPass() const { return inPass_; }
  void ScheduleContinue();
  QLabel* LabelOf(StepLabel label) const;
  QWidget* ControlOf(Control control) const;
  QColor ButtonFace() const;
  void AppendToPane(const QString& text);
  // Hands the text logged meanwhile to the pane.
  void FlushPane();
  // The COM buttons' tooltips name the device each opens.
  void ShowPortDevices();
  void SaveLogAs();
  void ChooseUploadFolder();
  bool Ask(const QString& question);
  void OfferSavedIdentity();
  void EditRecordSettings();
  int Choose(const QString& question, const QStringList& items);
  void ApplyPreselectedPort();
  void ShowLogMenu(const QPoint& at);
  // Lets the status panel paint its latest state from now on.
  void ShowPanelNow();

  std::unique_ptr<Ui::TForm1> ui_;
  // Declared before the core: its serial component posts here until it is
  // destroyed.
  QtNotifyTarget notifyWindow_;
  // Declared before the core: a job the core cancels as it ends still gets
  // its record.
  std::unique_ptr<RecordStore> store_;
  std::unique_ptr<PortCore> core_;

 public:
  // The core's serial component, by the name the window knows it.
  TComm& Comm1;

 private:
  bool inPass_ = false;
  // What passes asked to show, in order, for when they are over.
  std::vector<std::function<void()>> afterPass_;
  bool continueScheduled_ = false;
  bool activated_ = false;
  // A Cr ended the last log write: an Lf that starts the next one is the same
  // line end.
  bool pendingCr_ = false;
  int preselectedPort_ = 0;
  QTimer tickTimer_;
  struct LabelLook {
    QPalette Palette;
    bool Filled;
  };
  std::vector<LabelLook> startLabels_;
  // "connect" is running: the port's line follows "<serial interface opened>".
  bool describePortOnOpen_ = false;
  QString fullLog_;
  // Logged, not yet in the pane.
  QString pendingPane_;
  QTimer paneTimer_;
  // Characters of the pane's last line.
  int paneLineLength_ = 0;
  // A count can change with every word the device sends; painting the panel
  // for each would cost more than the word itself. Its text is always the
  // latest count, but it is painted at most once per interval (and at once
  // when asked to): updates stay off until panelTimer_ ends the interval.
  QElapsedTimer panelShown_;
  QTimer panelTimer_;
};
