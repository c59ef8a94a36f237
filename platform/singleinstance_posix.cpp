// SPDX-License-Identifier: MIT
// One instance on Linux and other Unix desktops: a lock file held by an
// open descriptor, and a local socket by which a second start asks the
// first to come forward.
#include "singleinstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray ComeForwardRequest = "come-forward\n";
const QByteArray ComeForwardAnswer = "ok\n";

} // namespace

void SettleRuntimeDirectory()
{
    const bool unset = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR");
    const QString dir = RuntimeDirectory();
    // The toolkit asks again while it starts: let it find the answer.
    if (unset && QFileInfo(dir).isDir())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
}

SingleInstanceGuard::SingleInstanceGuard(const QString &mutexName, const QString &title, QObject *parent)
    : QObject(parent),
      mutexName_(mutexName),
      title_(title),
      session_(CurrentSessionKey())
{}

// The lock stays held for the life of the process: the descriptor is not
// closed here.
SingleInstanceGuard::~SingleInstanceGuard() = default;

bool SingleInstanceGuard::Acquire()
{
    const QByteArray path = QFile::encodeName(LockPath());
    lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        lockFailed_ = true;
        ReportNoLock(
            QStringLiteral("cannot create %1: %2").arg(LockPath(), QString::fromLocal8Bit(std::strerror(errno))));
        return true;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK)
        return false;
    lockFailed_ = true;
    ReportNoLock(QStringLiteral("cannot lock %1: %2").arg(LockPath(), QString::fromLocal8Bit(std::strerror(errno))));
    return true;
}

bool SingleInstanceGuard::AskFirstToComeForward(int timeoutMs)
{
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
}

bool SingleInstanceGuard::Listen()
{
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
    connect(server_, &QLocalServer::newConnection, this, &SingleInstanceGuard::AnswerPendingConnections);
    return true;
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
