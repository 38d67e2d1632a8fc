#include "dialog_filter.h"

#include <QStringList>

namespace {

QString QtPatterns(const QString& patterns) {
  QStringList out;
  for (QString p : patterns.split(u';', Qt::SkipEmptyParts)) {
    p = p.trimmed();
    if (p == QLatin1String("*.*")) p = QStringLiteral("*");
    if (!p.isEmpty()) out << p;
  }
  if (out.isEmpty()) out << QStringLiteral("*");
  return out.join(u' ');
}

}  // namespace

QString QtFilterFromDialogFilter(const QString& filter) {
  const QStringList parts = filter.split(u'|');
  QStringList entries;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    // A description left without a pattern stands for all files.
    const QString pattern = i + 1 < parts.size() ? parts[i + 1] : QString();
    if (description.isEmpty() && pattern.trimmed().isEmpty()) continue;
    const QString qtPatterns = QtPatterns(pattern);
    const QString shown = QLatin1Char('(') + pattern.trimmed() + QLatin1Char(')');
    if (!pattern.trimmed().isEmpty() && description.endsWith(shown)) description.chop(shown.size());
    description = description.trimmed();
    const QString bracketed = QLatin1Char('(') + qtPatterns + QLatin1Char(')');
    entries << (description.isEmpty() ? bracketed : description + QLatin1Char(' ') + bracketed);
  }
  return entries.join(QStringLiteral(";;"));
}
