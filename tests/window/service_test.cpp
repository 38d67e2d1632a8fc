// What lies behind the layout: the service-jobs menu, closing during a flash
// job, the delivery of serial notifications, the file-dialog filters and the
// port-settings dialog.
#include <pty.h>
#include <unistd.h>

#include <QComboBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <cstring>
#include <thread>

#include "window/app_settings.h"
#include "window/dialog_filter.h"
#include "window/port_settings_dialog.h"
#include "window_fixture.h"

namespace {

// A pseudo-terminal whose slave side stands in for COM1.
class PseudoPort {
 public:
  PseudoPort() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
      ::setenv("UPDATER_COM1", name, 1);
    }
  }
  ~PseudoPort() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    ::unsetenv("UPDATER_COM1");
  }
  bool Ok() const { return master_ >= 0; }

 private:
  int master_ = -1;
  int slave_ = -1;
};

QPoint FreeAreaOfWindow() {
  return {400, 0 + 190};
}

// Runs `open`, which shows a modal box or dialog, and hands the box to `look`
// while it is on the screen until `look` returns true (or 5 s have passed);
// then closes it.
void WithModal(const std::function<void()>& open, const std::function<bool(QDialog&)>& look) {
  QElapsedTimer shown;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    if (!shown.isValid()) shown.start();
    if (!look(*box) && shown.elapsed() < 5000) return;
    poll.stop();
    box->reject();
  });
  poll.start();
  open();
}

}  // namespace

// Texts of a menu's entries, separators left out.
static QStringList EntriesOf(const QMenu& menu) {
  QStringList entries;
  for (const QAction* a : menu.actions()) {
    if (!a->isSeparator()) entries << a->text();
  }
  return entries;
}

TEST_F(WindowTest, ServiceJobsAreOfferedOnlyWhileThePortIsOpen) {
  const QStringList always{QStringLiteral("verify after download"),
                           QStringLiteral("choose the folder with Loader.hex and F29f160d.hex..."),
                           QStringLiteral("save log..."),
                           QStringLiteral("station, operator and line database..."),
                           QStringLiteral("start over")};
  EXPECT_EQ(EntriesOf(*Form().BuildServiceMenu()), always);
  PseudoPort pty;
  ASSERT_TRUE(pty.Ok());
  W().RadioButton1->click();
  ASSERT_TRUE(Form().Comm1.Open());
  EXPECT_EQ(EntriesOf(*Form().BuildServiceMenu()),
            QStringList({QStringLiteral("read sectors 8 and 9 into a file..."),
                         QStringLiteral("erase sectors 8 and 9")}) +
                always);
  Form().Comm1.Close();
  EXPECT_EQ(EntriesOf(*Form().BuildServiceMenu()), always);
}

TEST_F(WindowTest, VerifyAfterDownloadIsOnByDefaultAndRemembered) {
  auto menu = Form().BuildServiceMenu();
  QAction* verify = menu->actions().constFirst();
  ASSERT_EQ(verify->text(), QStringLiteral("verify after download"));
  EXPECT_TRUE(verify->isChecked());
  verify->toggle();
  EXPECT_FALSE(Form().GetSession().VerifyAfterDownload);
  TForm1 nextRun;
  EXPECT_FALSE(nextRun.GetSession().VerifyAfterDownload);
  verify->toggle();
}

TEST_F(WindowTest, ServiceMenuEntriesRunTheirJobs) {
  PseudoPort pty;
  ASSERT_TRUE(pty.Ok());
  QTemporaryDir folder;  // no file "empty" in it
  ASSERT_TRUE(folder.isValid());
  Form().GetSession().WorkingDirectory = folder.path().toStdString();
  W().RadioButton1->click();
  ASSERT_TRUE(Form().Comm1.Open());
  auto menu = Form().BuildServiceMenu();
  ASSERT_NE(menu, nullptr);
  const QList<QAction*> actions = menu->actions();
  ASSERT_GE(actions.size(), 2);

  // Read-back, operator cancels the destination dialog.
  nextFileName_.reset();
  actions[0]->trigger();
  EXPECT_EQ(dialogs_, QStringList({QStringLiteral("Zieldatei | (*.2bf);;(*)")}));
  EXPECT_EQ(warnings_, QStringList({QStringLiteral("you need to choose a destination file")}));

  // The destination choice on its own, a handler no entry leads to.
  const QString destination = folder.filePath(QStringLiteral("sectors.2bf"));
  nextFileName_ = destination;
  Form().RadioButton5Click();
  EXPECT_TRUE(Log().contains(QStringLiteral("<destination file: ") + destination + " >\n"))
      << Log().toStdString();

  // Erase-only job without its image.
  actions[1]->trigger();
  EXPECT_TRUE(
      Log().contains(QStringLiteral("<download file: EMPTY >\n<empty was looked for in: ")));
  EXPECT_TRUE(Log().endsWith(QStringLiteral("<ERR: couldn`t find file EMPTY >\n")))
      << Log().toStdString();
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("ERR"));
  Form().Comm1.Close();
}

TEST_F(WindowTest, RightClickOffersTheMenuOnTheFreeAreaOnly) {
  PseudoPort pty;
  ASSERT_TRUE(pty.Ok());
  W().RadioButton1->click();
  ASSERT_TRUE(Form().Comm1.Open());
  const struct {
    QPoint At;
    bool Offered;
  } rows[] = {{FreeAreaOfWindow(), true},
              {W().Label5->geometry().center(), false},
              {W().Memo2->geometry().center(), false}};
  for (const auto& row : rows) {
    QWidget* target = Form().childAt(row.At) ? Form().childAt(row.At) : &Form();
    QContextMenuEvent e(QContextMenuEvent::Mouse, target->mapFrom(&Form(), row.At),
                        Form().mapToGlobal(row.At));
    QApplication::sendEvent(target, &e);
    QWidget* popup = QApplication::activePopupWidget();
    EXPECT_EQ(qobject_cast<QMenu*>(popup) != nullptr && popup->parentWidget() == &Form(),
              row.Offered)
        << row.At.x() << "," << row.At.y();
    if (popup) popup->close();
  }
  Form().Comm1.Close();
}

TEST_F(WindowTest, MenuKeysOpenTheServiceMenuWhereverTheFocusIs) {
  // The log pane has a menu of its own, which stays on its right click.
  const struct {
    const char* Key;
    std::function<void(QWidget*)> Press;
  } keys[] = {
      {"Shift+F10", [](QWidget* w) { QTest::keyClick(w, Qt::Key_F10, Qt::ShiftModifier); }},
      {"menu key", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Menu); }},
      {"menu key as the window system reports it",
       [](QWidget* w) {
         QContextMenuEvent e(QContextMenuEvent::Keyboard, w->rect().center(),
                             w->mapToGlobal(w->rect().center()));
         QApplication::sendEvent(w, &e);
       }},
  };
  for (QWidget* focus :
       {static_cast<QWidget*>(W().Memo2), static_cast<QWidget*>(W().RadioButton1)}) {
    for (const auto& key : keys) {
      SCOPED_TRACE(focus->objectName().toStdString() + ", " + key.Key);
      focus->setFocus();
      ASSERT_TRUE(WaitUntil([&] { return focus->hasFocus(); }));
      key.Press(focus);
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      EXPECT_EQ(menu->parentWidget(), &Form());
      EXPECT_TRUE(EntriesOf(*menu).contains(QStringLiteral("start over")));
      menu->close();
    }
  }
}

TEST_F(WindowTest, BoxesOpenCentredOnTheWindow) {
  form_->WarningHook = nullptr;
  form_->ConfirmHook = nullptr;
  const struct {
    const char* Box;
    std::function<void()> Open;
  } rows[] = {
      {"warning", [this] { Form().ShowWarning("invalid firmware file"); }},
      {"question", [this] { Form().Button7Click(); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Box);
    QRect shownAt;
    WithModal(row.Open, [&](QDialog& box) {
      shownAt = box.frameGeometry();
      return true;
    });
    ASSERT_FALSE(shownAt.isEmpty());
    const QPoint offCentre = shownAt.center() - Form().frameGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 4) << offCentre.x() << "," << offCentre.y();
  }
}

TEST_F(WindowTest, MenusBoxesAndDialogsUseTheWindowsFont) {
  const QString font = Form().font().toString();
  EXPECT_EQ(QApplication::font().toString(), font);
  EXPECT_EQ(Form().BuildServiceMenu()->font().toString(), font);
  form_->WarningHook = nullptr;
  form_->FileDialogHook = nullptr;
  QStringList looked;
  const auto look = [&](QDialog& box) {
    looked << box.metaObject()->className();
    QList<QWidget*> parts = box.findChildren<QWidget*>();
    parts << &box;
    for (const QWidget* part : parts) {
      if (part->isVisible()) {
        EXPECT_EQ(part->font().toString(), font) << part->metaObject()->className();
      }
    }
    return true;
  };
  WithModal([this] { Form().ShowWarning("invalid firmware file"); }, look);
  WithModal([this] { Form().RunFileDialog(FileDialog::OpenDialog3); }, look);
  EXPECT_EQ(looked, QStringList({QStringLiteral("QMessageBox"), QStringLiteral("QFileDialog")}));
}

TEST_F(WindowTest, FileDialogColumnsShowTheirContentsWhole) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  QFile image(folder.filePath(QStringLiteral("image.bin")));
  ASSERT_TRUE(image.open(QIODevice::WriteOnly));
  image.write(QByteArray(198, 'x'));
  image.close();
  AppSettings::SetFolder("firmware", folder.path());
  form_->FileDialogHook = nullptr;
  bool listed = false;
  std::vector<std::pair<int, int>> columns;  // shown width, contents width
  int viewWidth = 0;
  int headerLength = 0;
  WithModal([this] { Form().RunFileDialog(FileDialog::OpenDialog3); },
            [&](QDialog& box) {
              auto* view = box.findChild<QTreeView*>(QStringLiteral("treeView"));
              // What a column's rows need, through the view's public face.
              const QAbstractItemView* rows = view;
              if (view == nullptr || !view->isVisible()) return false;
              listed = view->model()->rowCount(view->rootIndex()) == 1;
              columns.clear();
              bool whole = listed;
              for (int c = 0; c < view->header()->count(); ++c) {
                const int contents =
                    std::max(rows->sizeHintForColumn(c), view->header()->sectionSizeHint(c));
                columns.emplace_back(view->header()->sectionSize(c), contents);
                whole = whole && columns.back().first >= contents;
              }
              viewWidth = view->viewport()->width();
              headerLength = view->header()->length();
              return whole;
            });
  ASSERT_TRUE(listed) << "the folder's file is listed";
  ASSERT_EQ(columns.size(), 4u) << "name, size, type, date";
  for (size_t c = 0; c < columns.size(); ++c) {
    EXPECT_GE(columns[c].first, columns[c].second) << "column " << c;
  }
  EXPECT_LE(headerLength, viewWidth) << "every column in view";
}

TEST_F(WindowTest, ClosingDuringAFlashJobAsksFirst) {
  struct Row {
    Session::State State;
    bool Answer;
    int Questions;
    bool Closed;
  } rows[] = {{Session::State::AwaitEraseResult, false, 1, false},
              {Session::State::AwaitProgramResult, true, 1, true},
              {Session::State::Idle, false, 0, true},
              {Session::State::Ended, false, 0, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.State));
    Form().show();
    SessionTestAccess::SetState(Form().GetSession(), row.State);
    closeQuestions_ = 0;
    closeAnswer_ = row.Answer;
    Form().close();
    EXPECT_EQ(closeQuestions_, row.Questions);
    EXPECT_EQ(!Form().isVisible(), row.Closed);
  }
  SessionTestAccess::SetState(Form().GetSession(), Session::State::Idle);
}

TEST(QtNotifyTargetTest, DeliversInPostedOrder) {
  QtNotifyTarget target;
  std::vector<std::array<uint32_t, 3>> got;
  target.SetReceiver([&](uint32_t m, uint32_t w, uint32_t l) { got.push_back({m, w, l}); });
  std::thread watcher([&] {
    target.Post(WM_COMMERROR, 8, 0xFF);
    target.Post(WM_COMMCHAR, 3, 0xFF);
    target.Post(0x1234, 1, 2);  // not one of the three: dropped
    target.Post(WM_COMMEVENT, EvTxEmpty, MsCtsOn);
  });
  watcher.join();
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 3; }));
  const std::vector<std::array<uint32_t, 3>> expected = {
      {WM_COMMERROR, 8, 0xFF}, {WM_COMMCHAR, 3, 0xFF}, {WM_COMMEVENT, EvTxEmpty, MsCtsOn}};
  EXPECT_EQ(got, expected);
}

TEST(DialogFilterTest, ConvertsPairsKeepingTheirOrder) {
  const struct {
    const char* Given;
    const char* Qt;
  } rows[] = {
      {"(*.2bf)|*.2bf|(*.*)|*.*", "(*.2bf);;(*)"},
      {"(*.*)|*.*", "(*)"},
      {"Firmware (*.bin)|*.bin|All files|*.*", "Firmware (*.bin);;All files (*)"},
      {"Images|*.bin;*.hex", "Images (*.bin *.hex)"},
      {"Anything", "Anything (*)"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(QtFilterFromDialogFilter(QString::fromLatin1(row.Given)), QString::fromLatin1(row.Qt))
        << row.Given;
  }
}

TEST_F(WindowTest, FileDialogsCarryTheirTitlesAndFilters) {
  nextFileName_ = QString::fromUtf8("/tmp/f\xC3\xBCr.bin");
  EXPECT_EQ(Form().RunFileDialog(FileDialog::OpenDialog3), std::string("/tmp/f\xC3\xBCr.bin"));
  nextFileName_.reset();
  EXPECT_EQ(Form().RunFileDialog(FileDialog::OpenDialog5), std::nullopt);
  EXPECT_EQ(dialogs_, QStringList({QStringLiteral("select new firmware | (*)"),
                                   QStringLiteral("Zieldatei | (*.2bf);;(*)")}));
}

TEST_F(WindowTest, SetupGoesThroughTheDialogAndKeepsOnlyConfirmedSettings) {
  W().RadioButton6->click();
  uint8_t shownPort = 0;
  std::string shownPath;
  bool confirm = false;
  Form().SetupDialogHook = [&](uint8_t port, const std::string& path, Dcb& dcb) {
    shownPort = port;
    shownPath = path;
    EXPECT_EQ(dcb.BaudRate, 38400u) << "opens on Comm1's own settings";
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    return confirm;
  };
  W().Button1->click();
  EXPECT_EQ(shownPort, 3);
  EXPECT_EQ(shownPath, Form().Comm1.DevicePath());
  EXPECT_EQ(Form().Comm1.BaudRate(), cbr38400) << "cancelled: nothing taken";
  EXPECT_EQ(Form().Comm1.ByteSize(), 8);
  confirm = true;
  W().Button1->click();
  EXPECT_EQ(Form().Comm1.BaudRate(), cbr9600);
  EXPECT_EQ(Form().Comm1.ByteSize(), 7);
  EXPECT_TRUE(Log().isEmpty());
}

TEST_F(WindowTest, SetupRunsTheRealDialogWhenNoHookIsSet) {
  W().RadioButton7->click();
  struct Step {
    bool Accept;
    TBaudRate Expected;
  } steps[] = {{false, cbr38400}, {true, cbr115200}};
  for (const Step& step : steps) {
    QString title;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<PortSettingsDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      answer.stop();
      title = dialog->windowTitle();
      dialog->BitRate()->setCurrentIndex(dialog->BitRate()->findData(115200u));
      if (step.Accept) {
        dialog->accept();
      } else {
        dialog->reject();
      }
    });
    answer.start();
    Form().Button1Click();
    EXPECT_EQ(title, QStringLiteral("COM4"));
    EXPECT_EQ(Form().Comm1.BaudRate(), step.Expected);
  }
}

TEST(PortSettingsDialogTest, OffersThePresentDevicesByTheirLastingNamesAndTakesATypedOne) {
  Dcb dcb{};
  dcb.DCBlength = sizeof(Dcb);
  dcb.BaudRate = 38400;
  dcb.ByteSize = 8;
  const std::vector<SerialPortInfo> present{
      {"/dev/ttyS0", "", "", "", "", "", "serial8250"},
      {"/dev/ttyUSB0", "/dev/serial/by-id/usb-Maker_Cable_A1-if00-port0", "Maker", "Cable", "A1",
       "0403:6001", "ftdi_sio"}};
  PortSettingsDialog dialog(1, "/dev/serial/by-id/usb-Maker_Cable_A1-if00-port0", dcb, present);
  ASSERT_EQ(dialog.DeviceFile()->count(), 2);
  EXPECT_EQ(dialog.DeviceFile()->currentText(),
            QStringLiteral("/dev/serial/by-id/usb-Maker_Cable_A1-if00-port0  (Maker, Cable, serial "
                           "A1, /dev/ttyUSB0)"));
  EXPECT_EQ(dialog.ChosenDevice(), "/dev/serial/by-id/usb-Maker_Cable_A1-if00-port0");
  dialog.DeviceFile()->setCurrentIndex(0);
  EXPECT_EQ(dialog.ChosenDevice(), "/dev/ttyS0");
  dialog.DeviceFile()->setEditText(QStringLiteral("/tmp/COM1"));
  EXPECT_EQ(dialog.ChosenDevice(), "/tmp/COM1");

  PortSettingsDialog fixed(1, "/tmp/pty", dcb, present, "UPDATER_COM1");
  EXPECT_FALSE(fixed.DeviceFile()->isEnabled());
  EXPECT_TRUE(fixed.DeviceNote()->text().startsWith(QStringLiteral("UPDATER_COM1 is set")));
}

TEST(PortSettingsDialogTest, OpensOnTheGivenSettingsAndWritesEveryLineSettingBack) {
  Dcb dcb{};
  dcb.DCBlength = sizeof(Dcb);
  dcb.BaudRate = 38400;
  dcb.ByteSize = 8;
  dcb.Flags = DcbBinary | DcbDtrControlEnable | DcbAbortOnError;
  dcb.XonChar = 0x11;
  PortSettingsDialog dialog(2, "/dev/ttyS1", dcb);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("COM2"));
  EXPECT_EQ(dialog.BitRate()->currentText(), QStringLiteral("38400"));
  EXPECT_EQ(dialog.BitRate()->count(), 15);
  EXPECT_EQ(dialog.DataBits()->currentText(), QStringLiteral("8"));
  EXPECT_EQ(dialog.ParityBox()->currentIndex(), 0);
  EXPECT_EQ(dialog.StopBitsBox()->currentIndex(), 0);
  EXPECT_EQ(dialog.FlowControlBox()->currentIndex(), 0);
  EXPECT_EQ(dialog.ChosenDevice(), "/dev/ttyS1");

  const struct {
    int Rate, Bits, Parity, Stop, Flow;
    uint32_t BaudRate;
    uint8_t ByteSize, DcbParity, DcbStop;
    uint32_t Flags;
  } rows[] = {
      // Kept: fBinary, fAbortOnError; fParity follows the parity.
      {12, 2, 2, 2, 1, 115200, 7, EvenParity, TwoStopBits, 0x4000 | 0x2015 | DcbParity},
      {0, 0, 3, 1, 2, 110, 5, MarkParity, One5StopBits, 0x4000 | 0x311 | DcbParity},
      {9, 3, 0, 0, 0, 38400, 8, NoParity, OneStopBit, 0x4000 | 0x11},
  };
  for (const auto& row : rows) {
    dialog.BitRate()->setCurrentIndex(row.Rate);
    dialog.DataBits()->setCurrentIndex(row.Bits);
    dialog.ParityBox()->setCurrentIndex(row.Parity);
    dialog.StopBitsBox()->setCurrentIndex(row.Stop);
    dialog.FlowControlBox()->setCurrentIndex(row.Flow);
    dialog.WriteTo(dcb);
    EXPECT_EQ(dcb.BaudRate, row.BaudRate);
    EXPECT_EQ(dcb.ByteSize, row.ByteSize);
    EXPECT_EQ(dcb.Parity, row.DcbParity);
    EXPECT_EQ(dcb.StopBits, row.DcbStop);
    EXPECT_EQ(dcb.Flags, row.Flags) << std::hex << dcb.Flags;
    EXPECT_EQ(dcb.XonChar, 0x11) << "settings the dialog does not show are kept";
    EXPECT_EQ(dcb.DCBlength, sizeof(Dcb));
  }
}

TEST(PortSettingsDialogTest, ARateOutsideTheListIsShownAndKept) {
  Dcb dcb{};
  dcb.BaudRate = 500000;
  dcb.ByteSize = 8;
  dcb.Flags = DcbBinary | DcbDtrControlEnable | DcbRtsHandshake;
  PortSettingsDialog dialog(1, "/dev/ttyS0", dcb);
  EXPECT_EQ(dialog.BitRate()->currentText(), QStringLiteral("500000"));
  EXPECT_EQ(dialog.FlowControlBox()->currentIndex(), 1);
  Dcb written = dcb;
  dialog.WriteTo(written);
  EXPECT_EQ(written.BaudRate, 500000u);
  EXPECT_EQ(written.Flags, dcb.Flags | DcbOutxCtsFlow);
}

TEST_F(WindowTest, APortThatCannotBeOpenedIsExplainedAndTheChoiceWorksAgain) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString missing = folder.filePath(QStringLiteral("ttyUSB7"));
  W().RadioButton2->click();
  Form().RememberPortDevice(2, missing);
  EXPECT_EQ(W().RadioButton2->toolTip(), QStringLiteral("COM2 opens ") + missing);
  W().Button3->click();
  ASSERT_TRUE(WaitUntil([&] { return Log().contains(QStringLiteral("does not exist")); }));
  EXPECT_TRUE(Log().contains(missing + QStringLiteral(" does not exist: is the download wire "
                                                      "plugged in? Choose the device in setup.")));
  for (QWidget* control :
       {static_cast<QWidget*>(W().RadioButton1), static_cast<QWidget*>(W().RadioButton7),
        static_cast<QWidget*>(W().Button1), static_cast<QWidget*>(W().Button3)}) {
    EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
  }
  // The next start of the program remembers the choice.
  TForm1 nextRun;
  nextRun.Widgets().RadioButton2->click();
  EXPECT_EQ(nextRun.Comm1.DevicePath(), missing.toStdString());
}
