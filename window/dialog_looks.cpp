#include "dialog_looks.h"

#include <QDateTime>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QPointer>
#include <QScreen>
#include <QTreeView>
#include <algorithm>

namespace {

// Keeps a dialog centred on its window until the dialog is on the screen. A
// message box settles its size only while it is being shown, so the place is
// worked out again on every resize until then; once the dialog is mapped, a
// resize (the operator's) moves nothing.
class CentreUntilShown : public QObject {
 public:
  CentreUntilShown(QDialog& box, QWidget& window) : QObject(&box), box_(box), window_(&window) {
    box.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == &box_ && (e->type() == QEvent::Show || e->type() == QEvent::Resize) &&
        !box_.testAttribute(Qt::WA_Mapped)) {
      Place();
    }
    return false;
  }

 private:
  void Place() {
    if (window_ == nullptr) return;
    // The box's frame is taken to be as wide as the window's: both are
    // decorated by the same window manager.
    const QRect outer = window_->frameGeometry();
    const QSize frame = outer.size() - window_->size();
    const QSize size = box_.size() + frame;
    QPoint topLeft = outer.center() - QPoint(size.width() / 2, size.height() / 2);
    if (const QScreen* screen = window_->screen()) {
      const QRect area = screen->availableGeometry();
      topLeft.setX(std::max(area.left(), std::min(topLeft.x(), area.right() + 1 - size.width())));
      topLeft.setY(std::max(area.top(), std::min(topLeft.y(), area.bottom() + 1 - size.height())));
    }
    box_.move(topLeft);
  }

  QDialog& box_;
  QPointer<QWidget> window_;
};

// Columns of the file dialog's details view.
enum FileColumn { NameColumn = 0, SizeColumn = 1, TypeColumn = 2, DateColumn = 3 };

}  // namespace

void CentreOnWindow(QDialog& box, QWidget& window) {
  // A box with the window as its parent stays in front of it.
  if (box.parentWidget() == nullptr) box.setParent(&window, box.windowFlags() | Qt::Dialog);
  new CentreUntilShown(box, window);
}

void DressFileDialog(QFileDialog& dialog, QWidget& window) {
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setViewMode(QFileDialog::Detail);
  const QFontMetrics fm(dialog.font());
  // What the columns hold at their widest, to size the dialog before the
  // folder has been read.
  const int gap = 3 * fm.averageCharWidth();
  const QDateTime sample(QDate(2000, 12, 28), QTime(23, 58));
  const int size = fm.horizontalAdvance(QLocale().formattedDataSize(1023 * 1024 + 920)) + gap;
  const int type = fm.horizontalAdvance(QStringLiteral("Folder File")) + gap;
  const int date = fm.horizontalAdvance(QLocale().toString(sample, QLocale::ShortFormat)) + gap;
  const int name = 32 * fm.averageCharWidth();
  if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
  }
  int sideBar = 0;
  if (const QWidget* places = dialog.findChild<QWidget*>(QStringLiteral("sidebar"))) {
    sideBar = places->sizeHint().width();
  }
  // Margins, the splitter, the scroll bar.
  const int frame = 8 * fm.averageCharWidth();
  QSize wanted(sideBar + name + size + type + date + frame, 26 * fm.lineSpacing());
  wanted = wanted.expandedTo(dialog.sizeHint());
  if (const QScreen* screen = window.screen()) {
    wanted = wanted.boundedTo(screen->availableGeometry().size() * 9 / 10);
  }
  dialog.resize(wanted);
  CentreOnWindow(dialog, window);
}

QString ChooseFolder(QWidget& window, const QString& title, const QString& start) {
  QFileDialog dialog(&window, title, start);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  DressFileDialog(dialog, window);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString ChooseSaveName(QWidget& window, const QString& title, const QString& proposed,
                       const QString& filter) {
  QFileDialog dialog(&window, title, QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  DressFileDialog(dialog, window);
  if (!proposed.isEmpty()) {
    const QFileInfo at(proposed);
    dialog.setDirectory(at.absolutePath());
    dialog.selectFile(at.fileName());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}
