// Where the window's boxes and dialogs open, and how its file dialogs look:
// centred on the window rather than on the screen, and file lists whose
// columns show their contents whole.
#pragma once

#include <QString>

class QDialog;
class QFileDialog;
class QWidget;

// `box` opens centred on `window` (kept on the window's screen) and stays in
// front of it. Call before showing it.
void CentreOnWindow(QDialog& box, QWidget& window);

// The program's own file dialog rather than the desktop's, so that it looks
// the same everywhere and uses the program's font: the details view, the
// size, type and date columns as wide as their contents, the dialog wide
// enough to show them beside the names, centred on `window`.
void DressFileDialog(QFileDialog& dialog, QWidget& window);

// A folder chosen in such a dialog, starting in `start`; empty for Cancel.
QString ChooseFolder(QWidget& window, const QString& title, const QString& start);

// A file name to save to, chosen in such a dialog; `proposed` is the folder
// and name offered first. An existing file is replaced only once the
// operator said so. Empty for Cancel.
QString ChooseSaveName(QWidget& window, const QString& title, const QString& proposed,
                       const QString& filter);
