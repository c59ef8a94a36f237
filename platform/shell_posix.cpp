// SPDX-License-Identifier: MIT
// The shell on Linux and other Unix desktops: xdg-open, a terminal with
// telnet, the desktop's network settings, ip for the neighbour table.
#include "shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

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

// Runs a program and hands its exit to `finished` (false when it could not
// start or ended in failure) with what it wrote on stderr. The process
// object has no parent on purpose: an opener still running when the
// program ends (some wait for the browser) must not be killed with it.
void runAndWatch(const QString &program, const QStringList &arguments,
                 std::function<void(bool ok, const QString &errors)> finished)
{
    auto *process = new QProcess;
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    auto reported = std::make_shared<bool>(false);
    const auto report = [process, reported, finished](bool ok) {
        if (*reported)
            return;
        *reported = true;
        const QString errors = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
        process->deleteLater();
        if (finished)
            finished(ok, errors);
    };
    QObject::connect(process, &QProcess::finished, process, [process, report](int code, QProcess::ExitStatus status) {
        report(status == QProcess::NormalExit && code == 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [report](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            report(false);
    });
    process->start();
}

// Reports from the event loop, as a real opener's answer would come.
void reportLater(Shell::OpenResult done, bool opened)
{
    QTimer::singleShot(0, qApp, [done = std::move(done), opened] {
        if (done)
            done(opened);
    });
}

bool mayChangeNeighbourTable()
{
    constexpr int CapNetAdmin = 12;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return true; // let ip itself find out
    return HasEffectiveCapability(QString::fromLatin1(status.readAll()), CapNetAdmin);
}

class PlatformShell final : public Shell
{
public:
    void OpenURL(const QString &url, OpenResult done) override
    {
        const QUrl parsed(url, QUrl::StrictMode);
        if (!parsed.isValid() || parsed.host().isEmpty()) {
            reportLater(std::move(done), false);
            return;
        }
        // QDesktopServices reports success as soon as the opener has
        // started; only the opener's exit says whether a browser came up.
        const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
        if (opener.isEmpty()) {
            reportLater(std::move(done), QDesktopServices::openUrl(parsed));
            return;
        }
        runAndWatch(opener, {parsed.toString(QUrl::FullyEncoded)}, [done = std::move(done)](bool ok, const QString &) {
            if (done)
                done(ok);
        });
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

    void FlushArpCache(const QStringList &interfaces, FlushFailure failed) override
    {
        // Only the library's interfaces: the rest of the machine's table is
        // none of our business.
        QStringList names;
        for (const QString &name : interfaces) {
            if (!name.isEmpty() && !name.startsWith(QLatin1Char('-')) && !names.contains(name))
                names << name;
        }
        if (names.isEmpty())
            return;
        if (!mayChangeNeighbourTable()) {
            if (failed)
                failed(QStringLiteral("not permitted to flush the neighbour table of ") + names.join(QLatin1Char(',')));
            return;
        }
        const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
        if (ip.isEmpty())
            return;
        for (const QString &name : names) {
            runAndWatch(ip, {QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("dev"), name},
                        [name, failed](bool ok, const QString &errors) {
                            if (!ok && failed)
                                failed(QStringLiteral("neighbour table of ") + name + QStringLiteral(" not flushed: ") +
                                       (errors.isEmpty() ? QStringLiteral("ip failed") : errors));
                        });
        }
    }
};

} // namespace

Shell &SystemShell()
{
    static PlatformShell shell;
    return shell;
}
