#include "Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>
#include <utility>

#include "app_settings.h"
#include "core/identity_store.h"
#include "core/image_file.h"
#include "core/line_settings.h"
#include "core/port_advice.h"
#include "dialog_filter.h"
#include "dialog_looks.h"
#include "keyboard_menu.h"
#include "platform/destination.h"
#include "platform/own_files.h"
#include "platform/seq_file.h"
#include "port_settings_dialog.h"
#include "ui_Unit1.h"
#include "updater_version.h"
#include "window_font.h"

namespace {

const QColor Yellow(255, 255, 0);
// Shortest time between two paints of a changing count: fast enough to look
// continuous, rare enough to cost nothing next to the transfer.
constexpr int PanelCountPaintIntervalMs = 25;
const QColor Green(0, 128, 0);
const QColor Red(255, 0, 0);
// How often the session looks at the time of its waits.
constexpr int SessionTickMs = 100;
constexpr StepLabel AllLabels[] = {
    StepLabel::Label1, StepLabel::Label2, StepLabel::Label3, StepLabel::Label4, StepLabel::Label5,
    StepLabel::Label6, StepLabel::Label7, StepLabel::Label8, StepLabel::Label9, StepLabel::Label10};
// The log pane keeps the last lines only; "save log..." writes all of them.
constexpr int LogPaneLinesMax = 5000;
// Longest line the pane lays out in one piece.
constexpr int LogPaneLineMax = 1000;

void SetBackground(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, colour);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

}  // namespace

// The picture lives in the window library; a static library's resources are
// only linked in when something refers to them. Outside any namespace, as the
// initialiser is declared there.
static void LoadWindowResources() {
  Q_INIT_RESOURCE(window);
}

TForm1::TForm1(QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::TForm1>()),
      core_(std::make_unique<PortCore>(notifyWindow_, static_cast<JobObserver&>(*this),
                                       static_cast<WidgetView*>(this))),
      Comm1(core_->Comm()) {
  LoadWindowResources();
  ui_->setupUi(this);
  // The version is kept in one place, the build's.
  setWindowTitle(windowTitle() + QStringLiteral(UPDATER_VERSION));
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(632, 334);
  move(23, 28);

  // Everything on the window stands on button face, the log pane included.
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, ButtonFace());
  palette.setColor(QPalette::Base, ButtonFace());
  setPalette(palette);
  setAutoFillBackground(true);
  QPalette label5 = ui_->Label5->palette();
  label5.setColor(QPalette::Window, ButtonFace());
  label5.setColor(QPalette::WindowText, Qt::black);
  ui_->Label5->setPalette(label5);

  QList<const QWidget*> controls;
  for (const QWidget* w : findChildren<QWidget*>()) controls << w;
  // One font for the window, its menus, boxes and dialogs.
  QApplication::setFont(ChooseWindowFont(controls));

  // The panel stands where the layout puts it and never changes its size: a
  // fixed size spares the window a layout pass for every new count.
  ui_->Panel5->setFixedSize(ui_->Panel5->size());
  panelTimer_.setSingleShot(true);
  connect(&panelTimer_, &QTimer::timeout, this, [this] { ShowPanelNow(); });
  // A blank caption does not survive the Designer file.
  SetPanelForm(PanelForm::Initial);

  for (QRadioButton* radio :
       {ui_->RadioButton1, ui_->RadioButton2, ui_->RadioButton6, ui_->RadioButton7}) {
    connect(radio, &QRadioButton::clicked, this, [this, radio] { RadioButton1Click(radio); });
  }
  connect(ui_->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(ui_->Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(ui_->Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(ui_->Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
  ui_->Memo2->setMaximumBlockCount(LogPaneLinesMax);
  paneTimer_.setSingleShot(true);
  paneTimer_.setInterval(PanelCountPaintIntervalMs);
  connect(&paneTimer_, &QTimer::timeout, this, [this] { FlushPane(); });
  ui_->Memo2->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ui_->Memo2, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { ShowLogMenu(at); });
  new KeyboardMenu(*this);

  core_->Records.FrontEnd = RecordFrontEnd::Window;
  core_->Records.Station = AppSettings::Station().toStdString();
  core_->Records.Operator = AppSettings::Operator().toStdString();
  Comm1.SetSetupDialog([this](uint8_t port, const std::string& devicePath, Dcb& dcb) {
    std::string device = devicePath;
    const bool confirmed =
        SetupDialogHook ? SetupDialogHook(port, devicePath, dcb)
                        : PortSettingsDialog::Run(port, &device, dcb, DeviceVariable(port), this);
    if (!confirmed) return false;
    AppSettings::SetLineSettingsFor(port, dcb);
    if (device != devicePath) RememberPortDevice(port, QString::fromStdString(device));
    return true;
  });
  ShowPortDevices();
  // The session's waits for the device are bounded; this is their clock.
  tickTimer_.setInterval(SessionTickMs);
  connect(&tickTimer_, &QTimer::timeout, this, [this] {
    const auto now = TickClock ? TickClock() : std::chrono::steady_clock::now();
    RunPass([this, now] { GetSession().Tick(now); });
  });
  tickTimer_.start();
  // How the labels look before the first activation: "start over" goes back
  // to it.
  for (StepLabel label : AllLabels) {
    startLabels_.push_back({LabelOf(label)->palette(), LabelOf(label)->autoFillBackground()});
  }
  GetSession().UploadFolder = AppSettings::Folder("upload").toStdString();
  GetSession().VerifyAfterDownload = AppSettings::VerifyAfterDownload();
  notifyWindow_.SetReceiver([this](uint32_t message, uint32_t wParam, uint32_t lParam) {
    RunPass([&] { core_->WndProc(message, wParam, lParam); });
  });
}

// The core ends the session and closes the port.
TForm1::~TForm1() = default;

QColor TForm1::ButtonFace() const {
  return QApplication::palette().color(QPalette::Button);
}

template <typename Pass>
void TForm1::RunPass(Pass&& pass) {
  if (inPass_) {
    // Only a box could run a pass inside another, and no pass opens one.
    pass();
    return;
  }
  inPass_ = true;
  try {
    pass();
  } catch (const InOutError& e) {
    // The session reports its own file failures; one that still gets here
    // must not unwind through the event loop.
    afterPass_.push_back(
        [this, code = e.Code()] { ShowWarning("E/A-Fehler " + std::to_string(code)); });
  } catch (const std::exception& e) {
    afterPass_.push_back([this, text = std::string(e.what())] { ShowWarning(text); });
  }
  inPass_ = false;
  FlushPane();
  // Boxes and questions in the order the pass asked for them; each may run
  // passes of its own (the event loop goes on under a modal box).
  std::vector<std::function<void()>> shows = std::exchange(afterPass_, {});
  for (const auto& show : shows) show();
  ScheduleContinue();
}

void TForm1::ScheduleContinue() {
  if (continueScheduled_ || !GetSession().ContinuePending()) return;
  continueScheduled_ = true;
  // A zero timer fires once the window system's events, painting among
  // them, have been handled: the window stays painted between slices.
  QTimer::singleShot(0, this, [this] {
    continueScheduled_ = false;
    RunPass([this] { GetSession().Continue(); });
  });
}

bool TForm1::event(QEvent* e) {
  const bool handled = QWidget::event(e);
  // Only the first activation: returning from a box or a dialog is none.
  if (e->type() == QEvent::WindowActivate && !activated_) {
    activated_ = true;
    FormActivate();
  }
  return handled;
}

void TForm1::closeEvent(QCloseEvent* e) {
  if (GetSession().FlashJobRunning() || GetSession().ContinuePending()) {
    bool leave = false;
    if (ConfirmCloseHook) {
      leave = ConfirmCloseHook();
    } else {
      QMessageBox box(QMessageBox::Question, QStringLiteral("Warnung"),
                      QStringLiteral("The device is being erased or programmed.\n"
                                     "Closing the program now leaves it half programmed.\n\n"
                                     "Close anyway?"),
                      QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::No);
      CentreOnWindow(box, *this);
      leave = box.exec() == QMessageBox::Yes;
    }
    if (!leave) {
      e->ignore();
      return;
    }
  }
  e->accept();
}

std::unique_ptr<QMenu> TForm1::BuildServiceMenu() {
  auto menu = std::make_unique<QMenu>(this);
  // The device's service jobs only while the port is open.
  if (Comm1.Connected()) {
    connect(menu->addAction(QStringLiteral("read sectors 8 and 9 into a file...")),
            &QAction::triggered, this, [this] { Button11Click(); });
    connect(menu->addAction(QStringLiteral("erase sectors 8 and 9")), &QAction::triggered, this,
            [this] { Button7Click(); });
    menu->addSeparator();
  }
  QAction* verify = menu->addAction(QStringLiteral("verify after download"));
  verify->setCheckable(true);
  verify->setChecked(GetSession().VerifyAfterDownload);
  connect(verify, &QAction::toggled, this, [this](bool on) {
    GetSession().VerifyAfterDownload = on;
    AppSettings::SetVerifyAfterDownload(on);
  });
  connect(menu->addAction(QStringLiteral("choose the folder with Loader.hex and F29f160d.hex...")),
          &QAction::triggered, this, [this] { ChooseUploadFolder(); });
  connect(menu->addAction(QStringLiteral("save log...")), &QAction::triggered, this,
          [this] { SaveLogAs(); });
  connect(menu->addAction(QStringLiteral("station, operator and line database...")),
          &QAction::triggered, this, [this] { EditRecordSettings(); });
  menu->addSeparator();
  connect(menu->addAction(QStringLiteral("start over")), &QAction::triggered, this,
          [this] { StartOver(); });
  return menu;
}

void TForm1::contextMenuEvent(QContextMenuEvent* e) {
  // A right click on the free area of the window, or the menu key / Shift+F10
  // wherever the focus is (KeyboardMenu hands them to the window, also from
  // the log pane). Controls keep their own right-click behaviour.
  const bool fromKeyboard = e->reason() == QContextMenuEvent::Keyboard;
  if (!fromKeyboard && childAt(e->pos()) != nullptr) {
    e->ignore();
    return;
  }
  QMenu* popup = BuildServiceMenu().release();
  popup->setAttribute(Qt::WA_DeleteOnClose);
  popup->popup(fromKeyboard ? mapToGlobal(rect().center()) : e->globalPos());
  e->accept();
}

void TForm1::ShowLogMenu(const QPoint& at) {
  QMenu* menu = ui_->Memo2->createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addSeparator();
  connect(menu->addAction(QStringLiteral("save log...")), &QAction::triggered, this,
          [this] { SaveLogAs(); });
  menu->popup(ui_->Memo2->viewport()->mapToGlobal(at));
}

// --- Handlers

void TForm1::FormActivate() {
  RunPass([this] { GetSession().FormActivate(); });
  ApplyPreselectedPort();
}

void TForm1::RadioButton1Click(QRadioButton* sender) {
  SetEnabled(Control::Button1, true);
  SetEnabled(Control::Button3, true);
  SetLabelColour(StepLabel::Label9, LabelColour::ButtonFace);
  SetLabelColour(StepLabel::Label3, LabelColour::ButtonFace);
  SetLabelColour(StepLabel::Label5, LabelColour::Yellow);
  const auto port = static_cast<uint8_t>(sender->property("tag").toUInt() & 0xFF);
  Comm1.SetPort(port);
  // What the operator chose for this port in an earlier run.
  Comm1.SetDevicePath(DeviceVariable(port).empty()
                          ? AppSettings::DeviceFor(port).value_or(QString()).toStdString()
                          : std::string());
  if (const std::optional<Dcb> dcb = AppSettings::LineSettingsFor(port)) Comm1.SetDcb(*dcb);
}

std::string TForm1::DeviceVariable(uint8_t port) {
  const std::string name = "UPDATER_COM" + std::to_string(port);
  return qEnvironmentVariableIsSet(name.c_str()) ? name : std::string();
}

void TForm1::RememberPortDevice(uint8_t port, const QString& device) {
  AppSettings::SetDeviceFor(port, device);
  if (port == Comm1.Port() && DeviceVariable(port).empty())
    Comm1.SetDevicePath(device.toStdString());
  ShowPortDevices();
}

void TForm1::ShowPortDevices() {
  for (QRadioButton* radio :
       {ui_->RadioButton1, ui_->RadioButton2, ui_->RadioButton6, ui_->RadioButton7}) {
    const auto port = static_cast<uint8_t>(radio->property("tag").toUInt() & 0xFF);
    QString device = QString::fromStdString(SerialDevice::DevicePath(port));
    if (DeviceVariable(port).empty()) device = AppSettings::DeviceFor(port).value_or(device);
    radio->setToolTip(QStringLiteral("COM%1 opens %2").arg(port).arg(device));
  }
}

void TForm1::Button1Click() {
  Comm1.ShowSetupDialog();
}
void TForm1::Button3Click() {
  RunPass([this] { core_->Connect(); });
}

void TForm1::Button4Click() {
  // The image is chosen before the job starts: a cancelled choice starts
  // nothing and leaves no record.
  const std::optional<std::string> chosen = RunFileDialog(FileDialog::OpenDialog3);
  if (!chosen) {
    SetPanelForm(PanelForm::Error);
    ShowWarning("you didn`t choose a file to download");
    LogWrite("<no firmware file chosen: nothing was sent; press download to choose one>\r\n");
    return;
  }
  const ImagePlan image = PlanImage(*chosen);
  RunPass([this, &image] { core_->Update(image); });
}

void TForm1::Button6Click() {
  RunPass([this] { core_->Identify(); });
}

void TForm1::Button7Click() {
  // Two sectors of the device are wiped on one click: the operator says so
  // first, and anything but a clear yes sends nothing.
  if (!Ask(QStringLiteral("Erase sectors 8 and 9 of the device on this port?"))) {
    LogWrite("<erase of sectors 8 and 9 cancelled, nothing sent>\r\n");
    return;
  }
  RunPass([this] { core_->EraseOnly(); });
}

void TForm1::Button11Click() {
  // Each job of the window is a run of its own: a file written by an earlier
  // one may be chosen again.
  OwnFiles::OfThisRun().ReleaseDestinations();
  const std::optional<std::string> chosen = RunFileDialog(FileDialog::OpenDialog5);
  if (!chosen) {
    ShowWarning("you need to choose a destination file");
    LogWrite("<no destination file chosen: nothing was read>\r\n");
    return;
  }
  RunPass([this, &chosen] { core_->ReadBack(*chosen); });
}

void TForm1::RadioButton5Click() {
  // The read-back asks for its own destination every time; the name chosen
  // here is only noted in the log.
  const std::optional<std::string> chosen = RunFileDialog(FileDialog::OpenDialog5);
  if (chosen) LogWrite("<destination file: " + *chosen + " >\r\n");
}

// The core delivers the component's notifications itself; these are the
// window's own entries to the same passes.
void TForm1::Comm1CommEvent(TComm*, uint32_t events, uint32_t state) {
  RunPass([&] { GetSession().Comm1CommEvent(events, state); });
}
void TForm1::Comm1CharReceived(TComm*, uint32_t cbInQue) {
  RunPass([&] { GetSession().Comm1CharReceived(cbInQue); });
}
void TForm1::Comm1CommError(TComm*, uint32_t errorCode) {
  RunPass([&] { GetSession().Comm1CommError(errorCode); });
}

// --- The window as the session sees it

void TForm1::JobStarted(Job job) {
  describePortOnOpen_ = job == Job::Connect;
}

void TForm1::JobFinished(Job job, const JobResult& result) {
  describePortOnOpen_ = false;
  if (job == Job::VerifyHardware && result.Failure == JobFailure::NoIdentity) {
    afterPass_.push_back([this] { OfferSavedIdentity(); });
  }
  if (job == Job::Connect && result.Failure == JobFailure::PortNotOpened) {
    // After the described lines: why, and what to do. The port choice and
    // "setup" are the way on.
    LogWrite("<" + PortOpenAdvice(Comm1.LastError(), Comm1.DevicePath()) + ">\r\n");
    for (Control control : {Control::RadioButton1, Control::RadioButton2, Control::RadioButton6,
                            Control::RadioButton7, Control::Button1, Control::Button3}) {
      SetEnabled(control, true);
    }
  }
  if (JobFinishedHook) JobFinishedHook(job, result);
}

// New text always goes to the end of the log, wherever the operator put the
// caret or what they selected: the log is the record of what was done to the
// device and must not lose a line. The pane keeps a bounded tail, so a write
// costs the same however long the log has grown; the whole log is kept for
// "save log...".
void TForm1::LogWrite(std::string_view text) {
  QString t = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  // A line end that arrives as "\r" and "\n" in two writes is still one.
  if (pendingCr_ && t.startsWith(u'\n')) t.remove(0, 1);
  if (t.isEmpty()) return;
  pendingCr_ = t.endsWith(u'\r');
  t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  t.replace(u'\r', u'\n');
  fullLog_ += t;
  // Inside a pass the pane takes the text in one piece when the pass hands
  // the thread back (or a repaint is due): a device that sends its messages
  // a character at a time must not cost a layout per character.
  pendingPane_ += t;
  if (!InPass()) {
    FlushPane();
  } else if (!paneTimer_.isActive()) {
    paneTimer_.start();
  }
  if (describePortOnOpen_ && text.starts_with("<serial interface opened>")) {
    // Which device COMn stands for, and how the line is set.
    describePortOnOpen_ = false;
    LogWrite("<COM" + std::to_string(Comm1.Port()) + ": " + Comm1.DevicePath() + ", " +
             DescribeLine(Comm1.GetDcb(), Comm1.FlowControl()) + ">\r\n");
  }
}

void TForm1::FlushPane() {
  paneTimer_.stop();
  if (pendingPane_.isEmpty()) return;
  const QString text = std::exchange(pendingPane_, QString());
  AppendToPane(text);
}

void TForm1::AppendToPane(const QString& text) {
  QPlainTextEdit* memo = ui_->Memo2;
  QScrollBar* bar = memo->verticalScrollBar();
  // The pane follows new lines unless the operator scrolled up to read.
  const bool followEnd = bar->value() >= bar->maximum();
  // A line without end (a device that floods its messages) is broken in the
  // pane every LogPaneLineMax characters: laying out one ever-growing line
  // would cost more with every character. The saved log keeps it whole.
  QString shown;
  shown.reserve(text.size() + text.size() / LogPaneLineMax + 1);
  for (const QChar c : text) {
    if (c == u'\n') {
      paneLineLength_ = 0;
    } else if (++paneLineLength_ > LogPaneLineMax) {
      shown += u'\n';
      paneLineLength_ = 1;
    }
    shown += c;
  }
  QTextCursor end(memo->document());
  end.movePosition(QTextCursor::End);
  end.insertText(shown);
  if (followEnd) bar->setValue(bar->maximum());
}

bool TForm1::SaveLog(const QString& path, QString* why) const {
  // Never over one of the program's files, never through a link.
  OwnFiles::OfThisRun().ReleaseDestinations();
  const QByteArray bytes = fullLog_.toUtf8();
  SysError error;
  const bool saved = WriteDestination(
      QFile::encodeName(path).toStdString(), "the saved log",
      std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), error);
  if (!saved && why) *why = QString::fromStdString(error.Text);
  return saved;
}

bool TForm1::Ask(const QString& question) {
  if (ConfirmHook) return ConfirmHook(question);
  QMessageBox box(QMessageBox::Question, QStringLiteral("Warnung"), question,
                  QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  CentreOnWindow(box, *this);
  return box.exec() == QMessageBox::Yes;
}

void TForm1::OpenRecordStore() {
  StoreConfig config;
  config.LineUrl = LineUrlFrom(AppSettings::LineDatabase().toStdString());
  config.Station = core_->Records.Station;
  std::string why;
  std::unique_ptr<RecordStore> opened = RecordStore::Open(config, &why);
  if (!opened) {
    LogWrite("<no record of the jobs is kept: " + why + ">\r\n");
    return;
  }
  if (!opened->ImportNote().empty()) LogWrite("<" + opened->ImportNote() + ">\r\n");
  core_->Records.Store = opened.get();
  store_ = std::move(opened);
}

void TForm1::UseRecordStore(RecordStore* store) {
  core_->Records.Store = store;
}

void TForm1::EditRecordSettings() {
  QString station = AppSettings::Station();
  QString person = AppSettings::Operator();
  QString database = AppSettings::LineDatabase();
  bool confirmed = false;
  if (RecordSettingsHook) {
    confirmed = RecordSettingsHook(station, person, database);
  } else {
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("records"));
    auto* form = new QFormLayout(&dialog);
    auto* stationEdit = new QLineEdit(station, &dialog);
    stationEdit->setPlaceholderText(QString::fromStdString(DefaultStation()));
    auto* personEdit = new QLineEdit(person, &dialog);
    personEdit->setPlaceholderText(QString::fromStdString(DefaultOperator()));
    auto* databaseEdit = new QLineEdit(database, &dialog);
    databaseEdit->setPlaceholderText(QStringLiteral("postgresql://host/line (none: this PC only)"));
    databaseEdit->setMinimumWidth(320);
    form->addRow(QStringLiteral("station"), stationEdit);
    form->addRow(QStringLiteral("operator"), personEdit);
    form->addRow(QStringLiteral("line database"), databaseEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    CentreOnWindow(dialog, *this);
    confirmed = dialog.exec() == QDialog::Accepted;
    station = stationEdit->text().trimmed();
    person = personEdit->text().trimmed();
    database = databaseEdit->text().trimmed();
  }
  if (!confirmed) return;
  AppSettings::SetRecordSettings(station, person, database);
  core_->Records.Station = station.toStdString();
  core_->Records.Operator = person.toStdString();
  // A job running keeps the store it started with; the next one gets the new.
  if (core_->JobRunning()) {
    LogWrite("<the record settings take effect after this job>\r\n");
    afterPass_.push_back([this] {
      if (store_) OpenRecordStore();
    });
    return;
  }
  if (store_ || !RecordSettingsHook) OpenRecordStore();
}

int TForm1::Choose(const QString& question, const QStringList& items) {
  if (ChooseHook) return ChooseHook(question, items);
  bool ok = false;
  const QString chosen =
      QInputDialog::getItem(this, QStringLiteral("Warnung"), question, items, 0, false, &ok);
  return ok ? static_cast<int>(items.indexOf(chosen)) : -1;
}

// A device whose identity block is gone was most likely interrupted in an
// update after sector 1 was erased: with the identity it had, the update can
// be finished. The identity of the update interrupted on this port comes
// first; the store refuses one whose serial number has finished an update
// since, on any station.
void TForm1::OfferSavedIdentity() {
  RecordStore* store = Store();
  if (!store) return;
  StoreAnswer<StoredIdentity> saved = store->Identities();
  if (!saved.Ok || saved.Items.empty()) return;
  RecordFilter filter;
  filter.Port = core_->PortLabel();
  filter.Job = RecordJob::Update;
  filter.Limit = 1;
  const StoreAnswer<JobRecord> last = store->Query(filter);
  if (last.Ok && !last.Items.empty()) {
    const JobRecord& interrupted = last.Items.back();
    const DeviceIdentity* board = interrupted.Board();
    if (interrupted.Outcome != RecordOutcome::Ok && interrupted.FlashTouched && board &&
        board->SerialNumberFound) {
      const auto first =
          std::find_if(saved.Items.begin(), saved.Items.end(), [&](const StoredIdentity& item) {
            return item.Identity.SerialNumberFound &&
                   item.Identity.SerialNumber == board->SerialNumber &&
                   item.Identity.ProductName == board->ProductName;
          });
      if (first != saved.Items.end()) std::rotate(saved.Items.begin(), first, first + 1);
    }
  }
  QStringList items;
  for (const StoredIdentity& item : saved.Items) {
    items << QString::fromStdString(DescribeIdentity(item.Identity) + " (read " + item.ReadAt +
                                    " on " + item.Station + ", " + item.Port + ")");
  }
  const int index = Choose(
      QStringLiteral("the device holds no identity; an interrupted update? use a saved identity:"),
      items);
  if (index < 0 || index >= static_cast<int>(saved.Items.size())) return;
  const StoredIdentity& chosen = saved.Items[static_cast<size_t>(index)];
  const std::string described = DescribeIdentity(chosen.Identity);
  if (!chosen.Identity.SerialNumberFound) {
    Warning("the identity " + described + " has no serial number: it cannot be told apart");
    return;
  }
  const FinishCheck check =
      store->CanFinishWith(chosen.Identity.ProductName, chosen.Identity.SerialNumber);
  if (!check.Allowed()) {
    Warning("identity not used: " + check.Reason);
    LogWrite("<identity not used: " + check.Reason + ">\r\n");
    return;
  }
  core_->UseSavedIdentity(chosen.Identity, chosen.Block);
  LogWrite("<using the identity saved at " + chosen.ReadAt + ": " + described + ">\r\n");
}

// Whatever happened (a silent device, a refused image, a pulled wire), the
// window goes back to how a fresh start shows it: the port closed, nothing
// chosen, the log kept.
void TForm1::StartOver() {
  RunPass([this] { core_->StartOver(); });
  for (size_t i = 0; i < std::size(AllLabels); ++i) {
    QLabel* label = LabelOf(AllLabels[i]);
    label->setPalette(startLabels_[i].Palette);
    label->setAutoFillBackground(startLabels_[i].Filled);
  }
  for (QRadioButton* radio :
       {ui_->RadioButton1, ui_->RadioButton2, ui_->RadioButton6, ui_->RadioButton7}) {
    radio->setAutoExclusive(false);
    radio->setChecked(false);
    radio->setAutoExclusive(true);
    radio->setEnabled(true);
  }
  SetPanelForm(PanelForm::Initial);
  SetProgress(0);
  RunPass([this] { GetSession().FormActivate(); });
  LogWrite(
      "<started over: the port is closed. Power the device down, choose the port and go "
      "on with step 2.>\r\n");
}

void TForm1::SetUploadFolder(const QString& folder) {
  GetSession().UploadFolder = folder.toStdString();
}

void TForm1::ChooseUploadFolder() {
  const QString title = QStringLiteral("choose the folder with Loader.hex and F29f160d.hex");
  const QString start = AppSettings::Folder("upload");
  const QString folder =
      FolderDialogHook ? FolderDialogHook(title) : ChooseFolder(*this, title, start);
  if (folder.isEmpty()) return;
  AppSettings::SetFolder("upload", folder);
  SetUploadFolder(folder);
  LogWrite(
      ("<upload files: looked for in the working folder, then " + folder + ">\r\n").toStdString());
}

void TForm1::PreselectPort(int port) {
  preselectedPort_ = port;
  if (activated_) ApplyPreselectedPort();
}

void TForm1::ApplyPreselectedPort() {
  QRadioButton* const radios[] = {ui_->RadioButton1, ui_->RadioButton2, ui_->RadioButton6,
                                  ui_->RadioButton7};
  if (preselectedPort_ >= 1 && preselectedPort_ <= 4) radios[preselectedPort_ - 1]->click();
  preselectedPort_ = 0;
}

void TForm1::SaveLogAs() {
  const QString folder = AppSettings::Folder("log");
  QString path;
  if (SaveFileHook) {
    path = SaveFileHook(QStringLiteral("save log"));
  } else {
    path = ChooseSaveName(*this, QStringLiteral("save log"),
                          folder.isEmpty() ? QString() : folder + "/updater-log.txt",
                          QStringLiteral("Text files (*.txt);;All files (*)"));
  }
  if (path.isEmpty()) return;
  AppSettings::SetFolder("log", QFileInfo(path).absolutePath());
  QString why;
  if (!SaveLog(path, &why)) {
    LogWrite(("<ERR: the log could not be saved to " + path + ": " + why + ">\r\n").toStdString());
    return;
  }
  LogWrite(("<log saved to " + path + ">\r\n").toStdString());
}

void TForm1::ShowPanelNow() {
  panelTimer_.stop();
  // Turning updates back on repaints the panel with what it holds now.
  if (!ui_->Panel5->updatesEnabled()) ui_->Panel5->setUpdatesEnabled(true);
  panelShown_.start();
}

void TForm1::SetPanelForm(PanelForm form) {
  QLabel* panel = ui_->Panel5;
  ShowPanelNow();
  switch (form) {
    case PanelForm::Initial:
      panel->setPalette(QPalette());
      panel->setText(QStringLiteral("  "));
      break;
    case PanelForm::Neutral:
      SetBackground(panel, ButtonFace());
      panel->setText(QStringLiteral(" "));
      break;
    case PanelForm::Success:
      SetBackground(panel, Green);
      panel->setText(QStringLiteral("OK"));
      break;
    case PanelForm::Error:
      SetBackground(panel, Red);
      panel->setText(QStringLiteral("ERR"));
      break;
  }
}

void TForm1::SetPanelCount(int32_t count) {
  QLabel* panel = ui_->Panel5;
  const qint64 sinceShown = panelShown_.isValid() ? panelShown_.elapsed() : -1;
  const bool due = sinceShown < 0 || sinceShown >= PanelCountPaintIntervalMs;
  if (!due && panel->updatesEnabled()) {
    panel->setUpdatesEnabled(false);
    panelTimer_.start(static_cast<int>(PanelCountPaintIntervalMs - sinceShown));
  }
  panel->setText(QString::number(count));
  if (due) ShowPanelNow();
}

void TForm1::RepaintPanelNow() {
  ShowPanelNow();
  ui_->Panel5->repaint();
}

void TForm1::SetProgress(int32_t percent) {
  ui_->ProgressBar1->setValue(percent);
}

void TForm1::SetLabelColour(StepLabel label, LabelColour colour) {
  SetBackground(LabelOf(label), colour == LabelColour::Yellow ? Yellow : ButtonFace());
}

void TForm1::SetEnabled(Control control, bool enabled) {
  ControlOf(control)->setEnabled(enabled);
}

void TForm1::Warning(std::string_view text) {
  if (!InPass()) {
    ShowWarning(text);
    return;
  }
  afterPass_.push_back([this, message = std::string(text)] { ShowWarning(message); });
}

void TForm1::HostWarning(std::string_view text) {
  LogWrite("<warning: " + std::string(text) + ">\r\n");
}

void TForm1::ShowWarning(std::string_view text) {
  const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (WarningHook) {
    WarningHook(message);
    return;
  }
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Warnung"), message, QMessageBox::Ok);
  CentreOnWindow(box, *this);
  box.exec();
}

std::optional<std::string> TForm1::RunFileDialog(FileDialog dialog) {
  QString title;
  QString filter;
  switch (dialog) {
    case FileDialog::OpenDialog3:
      title = QStringLiteral("select new firmware");
      filter = QStringLiteral("(*.*)|*.*");
      break;
    case FileDialog::OpenDialog5:
      title = QStringLiteral("Zieldatei");
      filter = QStringLiteral("(*.2bf)|*.2bf|(*.*)|*.*");
      break;
  }
  const QString qtFilter = QtFilterFromDialogFilter(filter);
  std::optional<QString> chosen;
  const char* folderKind = dialog == FileDialog::OpenDialog3 ? "firmware" : "destination";
  if (FileDialogHook) {
    chosen = FileDialogHook(title, qtFilter);
  } else {
    QFileDialog box(this, title, AppSettings::Folder(folderKind), qtFilter);
    box.setOption(QFileDialog::DontUseNativeDialog);
    DressFileDialog(box, *this);
    // The destination of a read-back is asked for as a save: an existing file
    // is only replaced once the operator said so.
    box.setAcceptMode(dialog == FileDialog::OpenDialog5 ? QFileDialog::AcceptSave
                                                        : QFileDialog::AcceptOpen);
    // Like the dialog the program was designed with, a name that does not
    // exist yet may be typed: the destination file is created by the job.
    box.setFileMode(QFileDialog::AnyFile);
    if (box.exec() == QDialog::Accepted && !box.selectedFiles().isEmpty()) {
      chosen = box.selectedFiles().constFirst();
    }
  }
  if (!chosen || chosen->isEmpty()) return std::nullopt;
  AppSettings::SetFolder(folderKind, QFileInfo(*chosen).absolutePath());
  return QFile::encodeName(*chosen).toStdString();
}

QLabel* TForm1::LabelOf(StepLabel label) const {
  switch (label) {
    case StepLabel::Label1:
      return ui_->Label1;
    case StepLabel::Label2:
      return ui_->Label2;
    case StepLabel::Label3:
      return ui_->Label3;
    case StepLabel::Label4:
      return ui_->Label4;
    case StepLabel::Label5:
      return ui_->Label5;
    case StepLabel::Label6:
      return ui_->Label6;
    case StepLabel::Label7:
      return ui_->Label7;
    case StepLabel::Label8:
      return ui_->Label8;
    case StepLabel::Label9:
      return ui_->Label9;
    case StepLabel::Label10:
      return ui_->Label10;
  }
  return ui_->Label1;
}

QWidget* TForm1::ControlOf(Control control) const {
  switch (control) {
    case Control::Button1:
      return ui_->Button1;
    case Control::Button3:
      return ui_->Button3;
    case Control::Button4:
      return ui_->Button4;
    case Control::Button6:
      return ui_->Button6;
    case Control::RadioButton1:
      return ui_->RadioButton1;
    case Control::RadioButton2:
      return ui_->RadioButton2;
    case Control::RadioButton6:
      return ui_->RadioButton6;
    case Control::RadioButton7:
      return ui_->RadioButton7;
  }
  return ui_->Button1;
}
