#include "singleinstance.h"

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

#ifdef _WIN32
#  include <windows.h>
#else
#  include <cerrno>
#  include <fcntl.h>
#  include <sys/file.h>
#  include <unistd.h>
#endif

namespace {

const QByteArray ComeForwardRequest = "come-forward\n";
const QByteArray ComeForwardAnswer = "ok\n";

QString runtimeDirectory()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &mutexName, const QString &title,
                                         QObject *parent)
    : QObject(parent)
    , mutexName_(mutexName)
    , title_(title)
{
}

// The lock stays held for the life of the process: neither the descriptor
// nor the mutex handle is closed here.
SingleInstanceGuard::~SingleInstanceGuard() = default;

QString SingleInstanceGuard::LockPath() const
{
    return runtimeDirectory() + QLatin1Char('/') + mutexName_ + QStringLiteral(".lock");
}

QString SingleInstanceGuard::SocketPath() const
{
    return runtimeDirectory() + QLatin1Char('/') + title_ + QStringLiteral(".instance");
}

bool SingleInstanceGuard::Acquire()
{
#ifdef _WIN32
    mutex_ = CreateMutexA(nullptr, FALSE, mutexName_.toLocal8Bit().constData());
    return GetLastError() != ERROR_ALREADY_EXISTS;
#else
    const QByteArray path = QFile::encodeName(LockPath());
    lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0)
        return true;
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
        return true;
    return errno != EWOULDBLOCK;
#endif
}

bool SingleInstanceGuard::AskFirstToComeForward(int timeoutMs)
{
#ifdef _WIN32
    Q_UNUSED(timeoutMs);
    HWND first = FindWindowA(nullptr, title_.toLocal8Bit().constData());
    if (!first)
        return false;
    if (IsIconic(first))
        ShowWindow(first, SW_SHOWDEFAULT);
    SetForegroundWindow(first);
    HWND popup = GetLastActivePopup(first);
    if (popup && popup != first)
        BringWindowToTop(popup);
    return true;
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
    return true;
#else
    server_ = new QLocalServer(this);
    // A socket left behind by a crashed instance would block the name.
    QLocalServer::removeServer(SocketPath());
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(SocketPath()))
        return false;
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
