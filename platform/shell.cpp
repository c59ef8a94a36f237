// SPDX-License-Identifier: MIT
#include "shell.h"

#include <QStringList>

namespace {

Shell *installed = nullptr;

} // namespace

Shell &CurrentShell()
{
    return installed ? *installed : SystemShell();
}

void SetShell(Shell *shell)
{
    installed = shell;
}

bool HasEffectiveCapability(const QString &statusText, int capability)
{
    for (const QStringView line : QStringView(statusText).split(QLatin1Char('\n'))) {
        if (!line.startsWith(u"CapEff:"))
            continue;
        bool ok = false;
        const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
        return ok && capability >= 0 && capability < 64 && (mask >> capability) & 1;
    }
    return false;
}
