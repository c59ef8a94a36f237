#include "shell.h"

#include <QStringList>

#ifdef _WIN32
#  include <windows.h>
#  include <shellapi.h>
#else
#  include <QDesktopServices>
#  include <QProcess>
#  include <QStandardPaths>
#  include <QUrl>
#endif

namespace {

#ifdef _WIN32

// ShellExecuteA reports success with a code above 32.
bool shellOpen(const QString &file, const QString &parameters, int showMode)
{
    const QByteArray f = file.toLocal8Bit();
    const QByteArray p = parameters.toLocal8Bit();
    const auto code = reinterpret_cast<INT_PTR>(ShellExecuteA(
        nullptr, "open", f.constData(), parameters.isEmpty() ? nullptr : p.constData(), nullptr,
        showMode));
    return code > 32;
}

class PlatformShell final : public Shell
{
public:
    bool OpenURL(const QString &url) override { return shellOpen(url, QString(), SW_SHOWNORMAL); }
    void StartTelnet(const QString &address) override
    {
        shellOpen(QStringLiteral("C:\\WINDOWS\\system32\\telnet.exe"), address, SW_SHOWNORMAL);
    }
    void OpenNetworkSettings() override
    {
        shellOpen(QStringLiteral("C:\\WINDOWS\\explorer.exe"),
                  QStringLiteral("::{7007acc7-3202-11d1-aad2-00805fc1270e}"), SW_SHOWNORMAL);
    }
    void FlushArpCache() override
    {
        shellOpen(QStringLiteral("C:\\WINDOWS\\system32\\arp.exe"), QStringLiteral("-d"), SW_HIDE);
    }
};

#else

// Starts the first program of the list that is installed, detached and
// silent; a program that is missing or fails to start changes nothing.
bool startFirst(const QList<QStringList> &commands)
{
    for (const QStringList &command : commands) {
        const QString program = QStandardPaths::findExecutable(command.first());
        if (program.isEmpty())
            continue;
        QProcess process;
        process.setProgram(program);
        process.setArguments(command.mid(1));
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        if (process.startDetached())
            return true;
    }
    return false;
}

class PlatformShell final : public Shell
{
public:
    bool OpenURL(const QString &url) override
    {
        const QUrl parsed(url, QUrl::StrictMode);
        return parsed.isValid() && !parsed.host().isEmpty() && QDesktopServices::openUrl(parsed);
    }

    void StartTelnet(const QString &address) override
    {
        // The address comes from the network: one that reads as an option
        // would change what telnet does.
        if (address.isEmpty() || address.startsWith(QLatin1Char('-')))
            return;
        startFirst({
            {QStringLiteral("x-terminal-emulator"), QStringLiteral("-e"), QStringLiteral("telnet"), address},
            {QStringLiteral("xterm"), QStringLiteral("-e"), QStringLiteral("telnet"), address},
        });
    }

    void OpenNetworkSettings() override
    {
        startFirst({
            {QStringLiteral("nm-connection-editor")},
            {QStringLiteral("gnome-control-center"), QStringLiteral("network")},
            {QStringLiteral("systemsettings"), QStringLiteral("kcm_networkmanagement")},
        });
    }

    void FlushArpCache() override
    {
        // Without privileges this fails, silently, and the scan goes on.
        startFirst({{QStringLiteral("ip"), QStringLiteral("neigh"), QStringLiteral("flush"),
                     QStringLiteral("all")}});
    }
};

#endif

Shell *installed = nullptr;

} // namespace

Shell &CurrentShell()
{
    static PlatformShell platformShell;
    return installed ? *installed : platformShell;
}

void SetShell(Shell *shell)
{
    installed = shell;
}
