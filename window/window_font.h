// The window's font. The layout was drawn for "MS Sans Serif" at 8 points;
// where that face is missing, a sans face at the same pixel size is taken,
// the first of a preference list in which every text fits its control.
#pragma once

#include <QFont>
#include <QList>
#include <QStringList>

class QWidget;

// Faces tried, in order, when "MS Sans Serif" is not installed.
QStringList WindowFontPreference();

// True when the text of `control` (a label, push button or radio button) is
// shown whole inside its geometry with `font`. Other widgets always fit.
bool TextFitsControl(const QWidget& control, const QFont& font);

// "MS Sans Serif" 8 pt when installed; else the first installed face of
// `preference`, at 11 pixels, in which every control's text fits; else the
// installed face in which the fewest texts are clipped.
QFont ChooseWindowFont(const QList<const QWidget*>& controls,
                       const QStringList& preference = WindowFontPreference());
