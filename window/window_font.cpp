#include "window_font.h"

#include <QAbstractButton>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <limits>

namespace {

// 8 points at 96 dots per inch, the size the layout was drawn for; where a
// face at that size is too wide for some label, one pixel less.
constexpr int WindowFontPixels[] = {11, 10};

}  // namespace

QStringList WindowFontPreference() {
  return {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans"),
          QStringLiteral("Liberation Sans Narrow"), QStringLiteral("DejaVu Sans Condensed")};
}

bool TextFitsControl(const QWidget& control, const QFont& font) {
  const QFontMetrics fm(font);
  const QStyle* style = control.style();
  const int w = control.width();
  const int h = control.height();
  if (const auto* label = qobject_cast<const QLabel*>(&control)) {
    if (label->text().isEmpty()) return true;
    const int frame = 2 * label->frameWidth();
    return fm.horizontalAdvance(label->text()) + frame <= w && fm.height() + frame <= h;
  }
  if (const auto* radio = qobject_cast<const QRadioButton*>(&control)) {
    const int indicator = style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, radio);
    const int spacing = style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, radio);
    return indicator + spacing + fm.horizontalAdvance(radio->text()) <= w && fm.height() <= h;
  }
  if (const auto* button = qobject_cast<const QPushButton*>(&control)) {
    const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    return fm.horizontalAdvance(button->text()) + 2 * margin <= w && fm.height() + 2 * frame <= h;
  }
  return true;
}

QFont ChooseWindowFont(const QList<const QWidget*>& controls, const QStringList& preference) {
  if (QFontDatabase::hasFamily(QStringLiteral("MS Sans Serif"))) {
    return QFont(QStringLiteral("MS Sans Serif"), 8);
  }
  QFont best;
  best.setPixelSize(WindowFontPixels[0]);
  int bestMisfits = std::numeric_limits<int>::max();
  // A face of the usual width a pixel smaller reads better than a narrow
  // one: every size of a face is tried before the next face.
  for (const QString& family : preference) {
    if (!QFontDatabase::hasFamily(family)) continue;
    for (const int pixels : WindowFontPixels) {
      QFont candidate(family);
      candidate.setPixelSize(pixels);
      // A family the database lists may still be served by a substitute.
      if (QFontInfo(candidate).family().compare(family, Qt::CaseInsensitive) != 0) break;
      int misfits = 0;
      for (const QWidget* control : controls) {
        if (!TextFitsControl(*control, candidate)) ++misfits;
      }
      if (misfits == 0) return candidate;
      if (misfits < bestMisfits) {
        bestMisfits = misfits;
        best = candidate;
      }
    }
  }
  return best;
}
