// SPDX-License-Identifier: MIT
#include "singleinstance.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <QDir>
#include <QStandardPaths>
#include <QWidget>

// Asked once: Qt warns on every question when XDG_RUNTIME_DIR is unset.
QString RuntimeDirectory()
{
    static const QString dir = [] {
        QString d = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        return d.isEmpty() ? QDir::tempPath() : d;
    }();
    return dir;
}

void SingleInstanceGuard::ReportNoLock(const QString &what)
{
    static bool said = false;
    if (said)
        return;
    said = true;
    std::fprintf(stderr, "%s: %s; running without the single-instance lock\n",
                 qPrintable(QCoreApplication::applicationName()), qPrintable(what));
}

QString SingleInstanceGuard::LockPath() const
{
    return RuntimeDirectory() + QLatin1Char('/') + mutexName_ + QLatin1Char('-') + session_ + QStringLiteral(".lock");
}

QString SingleInstanceGuard::SocketPath() const
{
    return RuntimeDirectory() + QLatin1Char('/') + title_ + QLatin1Char('-') + session_ + QStringLiteral(".instance");
}

QString SessionKey(const QString &platform, const QString &display)
{
    QString name = display;
    if (platform == QLatin1String("xcb")) {
        // ":0", ":0.0" and "unix:0" are one display; its screens share a session.
        if (name.startsWith(QLatin1String("unix:")))
            name.remove(0, 4);
        const qsizetype colon = name.lastIndexOf(QLatin1Char(':'));
        const qsizetype dot = name.indexOf(QLatin1Char('.'), colon + 1);
        if (colon >= 0 && dot > colon)
            name.truncate(dot);
    }
    QString key = platform + name;
    // a file name: nothing of the display may climb out of the directory
    for (QChar &c : key) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_')
            c = u'_';
    }
    return key;
}

QString CurrentSessionKey()
{
    const QString platform = QGuiApplication::platformName();
    QString display;
    if (platform == QLatin1String("xcb"))
        display = qEnvironmentVariable("DISPLAY");
    else if (platform.startsWith(QLatin1String("wayland")))
        display = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    return SessionKey(platform, display);
}

void BringWindowForward(QWidget *mainWindow)
{
    if (!mainWindow)
        return;
    if (mainWindow->isMinimized())
        mainWindow->showNormal();
    mainWindow->raise();
    mainWindow->activateWindow();
    // A dialog open in the program comes to the top, above the main window.
    if (QWidget *dialog = QApplication::activeModalWidget(); dialog && dialog != mainWindow) {
        dialog->raise();
        dialog->activateWindow();
    }
}
