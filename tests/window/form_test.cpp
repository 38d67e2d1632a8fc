// Form1 as the operator sees it: layout, first state, port choice, the log,
// the status panel and the step labels.
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <thread>

#include "updater_version.h"
#include "window_fixture.h"

namespace {

struct ControlRow {
  const char* Name;
  const char* Parent;
  QRect Geometry;
  const char* Text;  // nullptr: no text to check
};

const ControlRow Layout[] = {
    {"Label9", "Form1", {8, 8, 139, 13}, "0. Plug In the Download-Wire"},
    {"Label3", "Form1", {8, 32, 123, 13}, "1. Select a serial Interface"},
    {"GroupBox1", "Form1", {16, 48, 129, 73}, nullptr},
    {"RadioButton1", "GroupBox1", {8, 8, 57, 17}, "COM1"},
    {"RadioButton2", "GroupBox1", {8, 24, 57, 17}, "COM2"},
    {"RadioButton6", "GroupBox1", {72, 8, 49, 17}, "COM3"},
    {"RadioButton7", "GroupBox1", {72, 24, 49, 17}, "COM4"},
    {"Button1", "GroupBox1", {8, 48, 113, 17}, "setup"},
    {"Label5", "Form1", {8, 136, 133, 13}, "2. reset Device by power up"},
    {"Label8", "Form1", {8, 160, 9, 13}, "3."},
    {"Button3", "Form1", {24, 160, 113, 17}, "connect"},
    {"Label1", "Form1", {8, 184, 145, 13}, "4. are you  <connected> now?"},
    {"Label2", "Form1", {24, 200, 130, 13}, "if not, repeat step 2. and 3. "},
    {"Label6", "Form1", {8, 224, 86, 13}, "5. verify Hardware"},
    {"Button6", "Form1", {24, 240, 113, 17}, "verify hardware"},
    {"Label4", "Form1", {8, 264, 100, 13}, "6. update the Device"},
    {"Button4", "Form1", {24, 280, 113, 17}, "download"},
    {"Label7", "Form1", {8, 304, 125, 13}, "7. power down the Device"},
    {"Label10", "Form1", {16, 320, 147, 13}, "and unplug the Download-Wire"},
    {"ProgressBar1", "Form1", {168, 8, 345, 17}, nullptr},
    {"Panel5", "Form1", {512, 8, 113, 17}, "  "},
    {"Memo2", "Form1", {168, 24, 457, 161}, nullptr},
    {"Image1", "Form1", {168, 192, 457, 137}, nullptr},
};

QString TextOf(const QWidget* w) {
  if (const auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (const auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  return {};
}

}  // namespace

TEST_F(WindowTest, WindowAndEveryControlSitWhereTheLayoutPutsThem) {
  EXPECT_EQ(Form().windowTitle(), QStringLiteral(" Updater        v" UPDATER_VERSION));
  EXPECT_EQ(Form().size(), QSize(632, 334));
  EXPECT_EQ(Form().minimumSize(), Form().maximumSize()) << "the border is fixed";
  EXPECT_EQ(Form().pos(), QPoint(23, 28));
  for (const ControlRow& row : Layout) {
    SCOPED_TRACE(row.Name);
    const auto* w = Form().findChild<QWidget*>(row.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), row.Parent);
    EXPECT_EQ(w->geometry(), row.Geometry);
    if (row.Text) {
      EXPECT_EQ(TextOf(w), QString::fromUtf8(row.Text));
    }
  }
  EXPECT_TRUE(W().GroupBox1->title().isEmpty());
  EXPECT_EQ(W().ProgressBar1->minimum(), 0);
  EXPECT_EQ(W().ProgressBar1->maximum(), 100);
  EXPECT_FALSE(W().ProgressBar1->isTextVisible());
  EXPECT_TRUE(W().Memo2->isReadOnly());
  EXPECT_EQ(W().Memo2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(W().Memo2->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(W().Memo2->palette().color(QPalette::Base), ButtonFaceColour());
  ASSERT_FALSE(W().Image1->pixmap().isNull()) << "the picture is compiled in";
  EXPECT_EQ(W().Image1->pixmap().size(), QSize(886, 252));
  EXPECT_TRUE(W().Image1->hasScaledContents());
}

TEST_F(WindowTest, EveryTextFitsItsBoxUnclipped) {
  const QStyle* style = Form().style();
  int checked = 0;
  for (const QWidget* w : Form().findChildren<QWidget*>()) {
    const QString text = TextOf(w);
    if (text.trimmed().isEmpty()) continue;
    SCOPED_TRACE(w->objectName().toStdString() + " \"" + text.toStdString() + "\"");
    const QFontMetrics fm(w->font());
    EXPECT_LE(fm.height(), w->height());
    if (qobject_cast<const QPushButton*>(w)) {
      const int margin = style->pixelMetric(QStyle::PM_ButtonMargin);
      EXPECT_LE(fm.horizontalAdvance(text) + 2 * margin, w->width());
    } else if (const auto* radio = qobject_cast<const QRadioButton*>(w)) {
      // The text is drawn in the part the indicator leaves free.
      QStyleOptionButton option;
      option.initFrom(radio);
      option.text = text;
      const QRect contents = style->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
      EXPECT_LE(fm.horizontalAdvance(text), contents.width());
      EXPECT_LE(contents.right(), w->width());
    } else {
      EXPECT_LE(w->sizeHint().width(), w->width());
      EXPECT_LE(fm.horizontalAdvance(text), w->width());
    }
    ++checked;
  }
  EXPECT_EQ(checked, 18) << "ten labels, four port buttons, four buttons";
  if (Form().font().family() != QStringLiteral("MS Sans Serif")) {
    // The layout's 8 points, or a pixel less where a face is a little wide.
    EXPECT_GE(Form().font().pixelSize(), 10);
    EXPECT_LE(Form().font().pixelSize(), 11);
  }
}

TEST_F(WindowTest, TabOrderFollowsTheLayout) {
  // The progress bar and the status panel take no focus here, so they are no
  // stops of the chain.
  const QList<QWidget*> expected = {W().Memo2,        W().Button1,      W().RadioButton1,
                                    W().RadioButton2, W().RadioButton6, W().RadioButton7,
                                    W().Button4,      W().Button3,      W().Button6};
  QList<QWidget*> chain;
  QWidget* w = W().Memo2;
  do {
    if (expected.contains(w)) chain << w;
    w = w->nextInFocusChain();
  } while (w != W().Memo2 && chain.size() < 20);
  EXPECT_EQ(chain, expected);
}

TEST_F(WindowTest, AfterStartOnlyThePortButtonsCanBeUsed) {
  for (QWidget* b : {W().Button1, W().Button3, W().Button4, W().Button6}) {
    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  }
  for (QRadioButton* r : {W().RadioButton1, W().RadioButton2, W().RadioButton6, W().RadioButton7}) {
    EXPECT_TRUE(r->isEnabled()) << r->objectName().toStdString();
    EXPECT_FALSE(r->isChecked()) << r->objectName().toStdString();
  }
  for (QLabel* yellow : {W().Label9, W().Label3}) {
    EXPECT_EQ(BackgroundOf(yellow), YellowColour) << yellow->objectName().toStdString();
    EXPECT_TRUE(yellow->autoFillBackground());
  }
  for (QLabel* l : {W().Label5, W().Label8, W().Label1, W().Label2, W().Label6, W().Label4,
                    W().Label7, W().Label10}) {
    EXPECT_EQ(BackgroundOf(l), ButtonFaceColour()) << l->objectName().toStdString();
  }
  EXPECT_EQ(W().Label5->palette().color(QPalette::WindowText), QColor(Qt::black));
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("  "));
  EXPECT_EQ(Form().Comm1.Port(), 1) << "the stored configuration holds COM1";
  EXPECT_FALSE(Form().Comm1.Connected());
  EXPECT_EQ(Form().GetSession().WordsToRead(), 200);
}

TEST_F(WindowTest, ChoosingAPortSetsItAndMovesTheHighlightToStepTwo) {
  struct Row {
    QRadioButton* Button;
    uint8_t Port;
  } rows[] = {
      {W().RadioButton6, 3}, {W().RadioButton1, 1}, {W().RadioButton7, 4}, {W().RadioButton2, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Button->text().toStdString());
    QTest::mouseClick(row.Button, Qt::LeftButton, {}, QPoint(8, row.Button->height() / 2));
    EXPECT_TRUE(row.Button->isChecked());
    EXPECT_EQ(Form().Comm1.Port(), row.Port);
    EXPECT_TRUE(W().Button1->isEnabled());
    EXPECT_TRUE(W().Button3->isEnabled());
    EXPECT_FALSE(W().Button4->isEnabled());
    EXPECT_FALSE(W().Button6->isEnabled());
    EXPECT_EQ(BackgroundOf(W().Label5), YellowColour);
    EXPECT_EQ(BackgroundOf(W().Label9), ButtonFaceColour());
    EXPECT_EQ(BackgroundOf(W().Label3), ButtonFaceColour());
  }
  EXPECT_TRUE(Log().isEmpty()) << "choosing a port writes nothing";
}

TEST_F(WindowTest, FirstStateIsSetOnceNotAgainAfterABoxOrDialog) {
  W().RadioButton6->click();
  SessionTestAccess::SetWordsToRead(Form().GetSession(), 65536);
  // Another window takes the focus (as a box would) and gives it back.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  Form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
  QEvent again(QEvent::WindowActivate);
  QApplication::sendEvent(&Form(), &again);
  EXPECT_EQ(BackgroundOf(W().Label9), ButtonFaceColour());
  EXPECT_EQ(BackgroundOf(W().Label5), YellowColour);
  EXPECT_TRUE(W().Button3->isEnabled());
  EXPECT_EQ(Form().GetSession().WordsToRead(), 65536);
}

TEST_F(WindowTest, LineEndsOfLogWritesBecomeLines) {
  struct Row {
    std::vector<std::string> Writes;
    const char* Shown;
  } rows[] = {
      {{"<done>\r\n"}, "<done>\n"},
      {{"\r\n<flashroutine waiting for command...>\r\n"},
       "\n<flashroutine waiting for command...>\n"},
      {{"a\rb\nc"}, "a\nb\nc"},
      {{"<writing loader into C165...>", "<done>\r\n"}, "<writing loader into C165...><done>\n"},
      {{"<x>\r", "\n<y>"}, "<x>\n<y>"},
      {{"\r\n", "\r\n"}, "\n\n"},
      {{"\r", "\r"}, "\n\n"},
      {{"doesn\xC2\xB4t"}, "doesn\xC2\xB4t"},
  };
  for (const Row& row : rows) {
    W().Memo2->clear();
    for (const std::string& w : row.Writes) Form().LogWrite(w);
    EXPECT_EQ(Log(), QString::fromUtf8(row.Shown)) << row.Shown;
  }
}

TEST_F(WindowTest, LogWritesGoToTheEndWhateverTheCaretOrSelectionAndCanBeSaved) {
  Form().LogWrite("first line\r\nsecond line\r\n");
  QPlainTextEdit* memo = W().Memo2;
  QTextCursor at(memo->document()->findBlockByNumber(1));
  memo->setTextCursor(at);
  Form().LogWrite("<A>\r\n");
  // Ctrl+A selects everything, as an operator does to copy the log.
  memo->setFocus();
  QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
  ASSERT_TRUE(memo->textCursor().hasSelection());
  Form().LogWrite("<B>\r");
  Form().LogWrite("\n<C>");
  const QString expected = QStringLiteral("first line\nsecond line\n<A>\n<B>\n<C>");
  EXPECT_EQ(Log(), expected);
  EXPECT_TRUE(memo->textCursor().hasSelection()) << "the operator's selection is left alone";

  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath(QStringLiteral("log.txt"));
  ASSERT_TRUE(Form().SaveLog(path));
  QFile saved(path);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(saved.readAll()), expected);
}

TEST_F(WindowTest, AFloodWithoutLineEndsIsBrokenInThePaneButKeptWholeInTheLog) {
  const std::string flood(5000, 'h');
  for (int i = 0; i < 10; ++i) Form().LogWrite(flood);
  EXPECT_EQ(Form().FullLog(), QString::fromStdString(std::string(50000, 'h')));
  EXPECT_LE(W().Memo2->document()->lastBlock().length(), 1001);
}

TEST_F(WindowTest, LineErrorIsLoggedInHexAndTurnsThePanelRed) {
  struct Row {
    uint32_t Code;
    const char* Line;
  } rows[] = {{8, "<ERR: 0008>\n"},
              {0, "<ERR: 0000>\n"},
              {0xABCD, "<ERR: ABCD>\n"},
              {0x12345, "<ERR: 12345>\n"}};
  for (const Row& row : rows) {
    W().Memo2->clear();
    Form().SetPanelForm(PanelForm::Success);
    Form().Comm1CommError(&Form().Comm1, row.Code);
    EXPECT_EQ(Log(), QString::fromLatin1(row.Line));
    EXPECT_EQ(W().Panel5->text(), QStringLiteral("ERR"));
    EXPECT_EQ(BackgroundOf(W().Panel5), QColor(255, 0, 0));
  }
  // A modem or line event shows nothing.
  W().Memo2->clear();
  Form().Comm1CommEvent(&Form().Comm1, 0xFFFFFFFF, 0x30);
  EXPECT_TRUE(Log().isEmpty());
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("ERR"));
}

TEST_F(WindowTest, LineErrorPostedByTheWatcherThreadReachesTheLog) {
  std::thread watcher([this] { Form().NotifyWindow().Post(WM_COMMERROR, CeFrame, 0xFF); });
  watcher.join();
  EXPECT_TRUE(WaitUntil([this] { return Log() == QStringLiteral("<ERR: 0008>\n"); }))
      << Log().toStdString();
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("ERR"));
}

TEST_F(WindowTest, StatusPanelForms) {
  struct Row {
    PanelForm Form;
    QColor Colour;
    const char* Caption;
  } rows[] = {{PanelForm::Success, QColor(0, 128, 0), "OK"},
              {PanelForm::Error, QColor(255, 0, 0), "ERR"},
              {PanelForm::Neutral, ButtonFaceColour(), " "}};
  for (const Row& row : rows) {
    Form().SetPanelForm(row.Form);
    EXPECT_EQ(BackgroundOf(W().Panel5), row.Colour) << row.Caption;
    EXPECT_EQ(W().Panel5->text(), QString::fromLatin1(row.Caption));
    EXPECT_TRUE(W().Panel5->autoFillBackground());
    // A count keeps the colour.
    Form().SetPanelCount(131072);
    Form().RepaintPanelNow();
    EXPECT_EQ(W().Panel5->text(), QStringLiteral("131072"));
    EXPECT_EQ(BackgroundOf(W().Panel5), row.Colour) << row.Caption;
  }
  Form().SetPanelForm(PanelForm::Initial);
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("  "));
  EXPECT_EQ(BackgroundOf(W().Panel5), BackgroundOf(&Form())) << "inherited again";
  Form().SetProgress(42);
  EXPECT_EQ(W().ProgressBar1->value(), 42);
}

TEST_F(WindowTest, SessionNamesReachTheirWidgets) {
  const std::pair<StepLabel, QLabel*> labels[] = {
      {StepLabel::Label1, W().Label1}, {StepLabel::Label2, W().Label2},
      {StepLabel::Label3, W().Label3}, {StepLabel::Label4, W().Label4},
      {StepLabel::Label5, W().Label5}, {StepLabel::Label6, W().Label6},
      {StepLabel::Label7, W().Label7}, {StepLabel::Label8, W().Label8},
      {StepLabel::Label9, W().Label9}, {StepLabel::Label10, W().Label10}};
  for (const auto& [name, label] : labels) {
    Form().SetLabelColour(name, LabelColour::Yellow);
    EXPECT_EQ(BackgroundOf(label), YellowColour) << label->objectName().toStdString();
    Form().SetLabelColour(name, LabelColour::ButtonFace);
    EXPECT_EQ(BackgroundOf(label), ButtonFaceColour()) << label->objectName().toStdString();
  }
  const std::pair<Control, QWidget*> controls[] = {
      {Control::Button1, W().Button1},           {Control::Button3, W().Button3},
      {Control::Button4, W().Button4},           {Control::Button6, W().Button6},
      {Control::RadioButton1, W().RadioButton1}, {Control::RadioButton2, W().RadioButton2},
      {Control::RadioButton6, W().RadioButton6}, {Control::RadioButton7, W().RadioButton7}};
  for (const auto& [name, control] : controls) {
    Form().SetEnabled(name, true);
    EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
    Form().SetEnabled(name, false);
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  }
}

TEST_F(WindowTest, ACancelledImageChoiceIsSaidInTheLogBesideTheBox) {
  nextFileName_.reset();
  Form().Button4Click();
  EXPECT_EQ(warnings_, QStringList{QStringLiteral("you didn`t choose a file to download")});
  EXPECT_TRUE(Log().contains(QStringLiteral("<no firmware file chosen: nothing was sent")))
      << Log().toStdString();
  EXPECT_EQ(W().Panel5->text(), QStringLiteral("ERR"));
}
