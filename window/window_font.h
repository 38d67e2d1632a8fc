// The program's font: the window's, and that of its menus, boxes and
// dialogs. The layout was drawn for "MS Sans Serif" at 8 points; where that
// face is missing, the first face of a preference list in which every text
// fits its control, at 11 pixels or else 10.
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
// `preference` in which every control's text fits, at 11 pixels or else 10;
// else the face and size with which the fewest texts are clipped.
QFont ChooseWindowFont(const QList<const QWidget*>& controls,
                       const QStringList& preference = WindowFontPreference());
