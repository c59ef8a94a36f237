// SPDX-License-Identifier: MIT
// The shell on Windows: ShellExecuteA through the Win32 layer.
#include "shell.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <string>

#include "win32_calls.h"

namespace {

// ShellExecuteA takes the ANSI code page.
std::string Ansi(const QString &text)
{
    return text.toLocal8Bit().toStdString();
}

void Warn(const char *what, const win32::ShellResult &result)
{
    if (!result.ok)
        std::fprintf(stderr, "%s: %s: %s\n", qPrintable(QCoreApplication::applicationName()), what,
                     result.reason.c_str());
}

class PlatformShell final : public Shell
{
public:
    void OpenURL(const QString &url, OpenResult done) override
    {
        const bool opened = win32::OpenUrl(Ansi(url)).ok;
        // from the event loop, as the other systems report
        QTimer::singleShot(0, qApp, [done = std::move(done), opened] {
            if (done)
                done(opened);
        });
    }
    void StartTelnet(const QString &address) override { Warn("telnet not started", win32::StartTelnet(Ansi(address))); }
    void OpenNetworkSettings() override { Warn("network settings not opened", win32::OpenNetworkSettings()); }
    void FlushArpCache(const QStringList &, FlushFailure failed) override
    {
        // The system's arp program empties the cache of every interface;
        // the scan does not wait for it.
        const win32::ShellResult result = win32::FlushArpCache();
        if (!result.ok && failed)
            failed(QStringLiteral("arp -d not started: ") + QString::fromLocal8Bit(result.reason.c_str()));
    }
};

} // namespace

Shell &SystemShell()
{
    static PlatformShell shell;
    return shell;
}
