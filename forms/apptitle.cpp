// SPDX-License-Identifier: MIT
#include "apptitle.h"

QString ApplicationTitle;

QString ApplicationTitleFromPath(const QString &path)
{
    // Both separators count, so Windows paths give the same title anywhere.
    const qsizetype start = std::max(path.lastIndexOf(QLatin1Char('\\')),
                                     std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char(':'))));
    QString name = path.mid(start + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    return name;
}
