// File-dialog filters are kept in the "description|pattern|description|pattern"
// form the dialogs of the window were designed with; Qt wants
// "description (patterns);;description (patterns)".
#pragma once

#include <QString>

// Keeps the order of the entries. Patterns separated by ';' become one Qt
// pattern list; "*.*" becomes "*" so that names without a dot match too. A
// description that already shows its pattern in brackets, as "(*.2bf)" does,
// is not given the brackets twice.
QString QtFilterFromDialogFilter(const QString& filter);
