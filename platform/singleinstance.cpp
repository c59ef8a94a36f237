// SPDX-License-Identifier: MIT
#include "singleinstance.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

#ifdef _WIN32
#  include "win32_calls.h"
#else
#  include <cerrno>
#  include <fcntl.h>
#  include <sys/file.h>
#  include <unistd.h>
#endif

namespace {

const QByteArray ComeForwardRequest = "come-forward\n";
const QByteArray ComeForwardAnswer = "ok\n";

// Asked once: Qt warns on every question when XDG_RUNTIME_DIR is unset.
QString runtimeDirectory()
{
    static const QString dir = [] {
        QString d = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        return d.isEmpty() ? QDir::tempPath() : d;
    }();
    return dir;
}

} // namespace

void SettleRuntimeDirectory()
{
#ifndef _WIN32
    const bool unset = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR");
    const QString dir = runtimeDirectory();
    // The toolkit asks again while it starts: let it find the answer.
    if (unset && QFileInfo(dir).isDir())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
#endif
}

namespace {

void sayOnce(const QString &what)
{
    static bool said = false;
    if (said)
        return;
    said = true;
    std::fprintf(stderr, "%s: %s; running without the single-instance lock\n",
                 qPrintable(QCoreApplication::applicationName()), qPrintable(what));
}

} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &mutexName, const QString &title,
                                         QObject *parent)
    : QObject(parent)
    , mutexName_(mutexName)
    , title_(title)
    , session_(CurrentSessionKey())
{
}

// The lock stays held for the life of the process: the descriptor is not
// closed here, and the mutex lives as long as the guard, which lives as
// long as main().
SingleInstanceGuard::~SingleInstanceGuard() = default;

QString SingleInstanceGuard::LockPath() const
{
    return runtimeDirectory() + QLatin1Char('/') + mutexName_ + QLatin1Char('-') + session_
           + QStringLiteral(".lock");
}

QString SingleInstanceGuard::SocketPath() const
{
    return runtimeDirectory() + QLatin1Char('/') + title_ + QLatin1Char('-') + session_
           + QStringLiteral(".instance");
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

bool SingleInstanceGuard::Acquire()
{
#ifdef _WIN32
    mutex_ = std::make_unique<win32::InstanceMutex>(mutexName_.toLocal8Bit().toStdString());
    switch (mutex_->State()) {
    case win32::InstanceState::First:
        return true;
    case win32::InstanceState::AlreadyRunning:
        return false;
    case win32::InstanceState::Unknown:
        break;
    }
    lockFailed_ = true;
    sayOnce(QStringLiteral("cannot create the mutex %1: error %2").arg(mutexName_).arg(mutex_->Error()));
    return true;
#else
    const QByteArray path = QFile::encodeName(LockPath());
    lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        lockFailed_ = true;
        sayOnce(QStringLiteral("cannot create %1: %2").arg(LockPath(), QString::fromLocal8Bit(std::strerror(errno))));
        return true;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK)
        return false;
    lockFailed_ = true;
    sayOnce(QStringLiteral("cannot lock %1: %2").arg(LockPath(), QString::fromLocal8Bit(std::strerror(errno))));
    return true;
#endif
}

bool SingleInstanceGuard::AskFirstToComeForward(int timeoutMs)
{
#ifdef _WIN32
    return win32::BringInstanceForward(title_.toLocal8Bit().toStdString(),
                                       unsigned(timeoutMs > 0 ? timeoutMs : 0));
#else
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(ComeForwardRequest);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine() == ComeForwardAnswer;
#endif
}

bool SingleInstanceGuard::Listen()
{
#ifdef _WIN32
    window_ = std::make_unique<win32::InstanceWindow>(title_.toLocal8Bit().toStdString(),
                                                      [this] { emit ComeForwardRequested(); });
    if (!window_->Handle()) {
        if (!lockFailed_)
            std::fprintf(stderr, "%s: cannot make the instance window: error %lu; a second start will not find this one\n",
                         qPrintable(QCoreApplication::applicationName()), window_->Error());
        return false;
    }
    return true;
#else
    server_ = new QLocalServer(this);
    // A socket left behind by a crashed instance would block the name.
    QLocalServer::removeServer(SocketPath());
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(SocketPath())) {
        if (!lockFailed_)
            std::fprintf(stderr, "%s: cannot listen on %s: %s; a second start will not find this one\n",
                         qPrintable(QCoreApplication::applicationName()), qPrintable(SocketPath()),
                         qPrintable(server_->errorString()));
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this,
            &SingleInstanceGuard::AnswerPendingConnections);
    return true;
#endif
}

void SingleInstanceGuard::AnswerPendingConnections()
{
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == ComeForwardRequest) {
                emit ComeForwardRequested();
                socket->write(ComeForwardAnswer);
            }
            socket->disconnectFromServer();
        });
    }
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
