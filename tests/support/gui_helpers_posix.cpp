// SPDX-License-Identifier: MIT
// The GUI tests' helpers that need a Unix system: stand-in programs as
// shell scripts on PATH, X servers of the tests' own.
#include "gui_helpers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

struct FakePrograms::Impl
{
    QTemporaryDir dir;
    QByteArray oldPath;
};

FakePrograms::FakePrograms()
    : d(new Impl)
{
    d->oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(d->dir.path()) + ':' + d->oldPath);
}

FakePrograms::~FakePrograms()
{
    qputenv("PATH", d->oldPath);
    delete d;
}

bool FakePrograms::IsValid() const
{
    return d->dir.isValid();
}

QString FakePrograms::Path() const
{
    return d->dir.path();
}

void FakePrograms::Add(const QString &name, const QString &body)
{
    const QString file = d->dir.filePath(name);
    QFile script(file);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    script.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" +
                 QFile::encodeName(d->dir.filePath(name + QStringLiteral(".calls"))) + "'\n");
    script.write(body.toUtf8());
    script.write("\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList FakePrograms::Calls(const QString &name) const
{
    QFile calls(d->dir.filePath(name + QStringLiteral(".calls")));
    if (!calls.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(calls.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

namespace {

// The process that holds an X display number, as its lock file says; 0
// while there is none.
qint64 LockHolder(int number)
{
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(number));
    if (!lock.open(QIODevice::ReadOnly))
        return 0;
    return QString::fromLatin1(lock.readAll()).trimmed().toLongLong();
}

} // namespace

XServer::XServer() = default;

XServer::~XServer()
{
    if (pid_ > 0) {
        ::kill(pid_t(pid_), SIGTERM);
        int status = 0;
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(pid_t(pid_), &status, WNOHANG) == pid_t(pid_))
                return;
            QThread::msleep(10);
        }
        ::kill(pid_t(pid_), SIGKILL);
        ::waitpid(pid_t(pid_), &status, 0);
    }
}

bool XServer::Start()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        reason_ = QStringLiteral("Xvfb is not installed");
        return false;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty()) {
        reason_ = QStringLiteral("xwininfo is not installed");
        return false;
    }
    // A display number nobody holds; Xvfb itself refuses one in use.
    for (int number = 140 + (::getpid() % 400); number < 1000; number += 7) {
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        const QString display = QStringLiteral(":%1").arg(number);
        qint64 pid = 0;
        if (!QProcess::startDetached(xvfb,
                                     {display, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                      QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("800x600x24")},
                                     QString(), &pid)) {
            reason_ = QStringLiteral("Xvfb did not start");
            return false;
        }
        pid_ = pid;
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            // Another test may have taken the number since the look above:
            // then the display answers, but from that test's server, which
            // goes when that test ends. The lock file names the holder.
            const qint64 holder = LockHolder(number);
            if ((holder > 0 && holder != pid) || ::kill(pid_t(pid), 0) != 0) {
                ::kill(pid_t(pid), SIGTERM);
                pid_ = 0;
                break;
            }
            QProcess probe;
            probe.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-display"), display});
            if (holder == pid && probe.waitForFinished(2000) && probe.exitCode() == 0) {
                display_ = display;
                return true;
            }
            QThread::msleep(50);
        }
        if (pid_ > 0) {
            reason_ = QStringLiteral("Xvfb did not come up on ") + display;
            return false;
        }
    }
    reason_ = QStringLiteral("no free X display number");
    return false;
}

std::vector<XServer::Window> XServer::TopLevels() const
{
    std::vector<Window> windows;
    QProcess tree;
    tree.start(QStringLiteral("xwininfo"),
               {QStringLiteral("-root"), QStringLiteral("-children"), QStringLiteral("-display"), display_});
    if (!tree.waitForFinished(5000))
        return windows;
    // e.g.      0x200008 "LogForm": ("netscry" "netscry")  433x180+0+0  +0+0
    static const QRegularExpression line(QStringLiteral("^\\s+(0x[0-9a-f]+) \"(.*)\": \\("));
    for (const QString &text : QString::fromUtf8(tree.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const auto m = line.match(text);
        if (!m.hasMatch())
            continue;
        Window w;
        w.id = m.captured(1);
        w.name = m.captured(2);
        QProcess info;
        info.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), w.id, QStringLiteral("-display"), display_});
        if (info.waitForFinished(5000))
            w.viewable = info.readAllStandardOutput().contains("Map State: IsViewable");
        windows.push_back(w);
    }
    return windows;
}

int XServer::Viewable(const QString &name) const
{
    int count = 0;
    for (const Window &w : TopLevels())
        count += w.viewable && w.name == name;
    return count;
}

} // namespace testsupport
