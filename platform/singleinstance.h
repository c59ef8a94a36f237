// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QWidget;
namespace win32 {
class InstanceMutex;
class InstanceWindow;
} // namespace win32

// Lets one instance run per desktop session (the user's runtime directory
// and the display), as a session-local mutex does on Windows. The lock is
// held by an open descriptor, so the kernel releases it when the process
// dies, however it dies; a local socket named after the application title
// lets a second instance ask the first one to come forward. On Windows the
// first instance's hidden window of the class "TApplication" under the
// title plays the socket's part.
class SingleInstanceGuard final : public QObject
{
    Q_OBJECT

public:
    SingleInstanceGuard(const QString &mutexName, const QString &title, QObject *parent = nullptr);
    ~SingleInstanceGuard() override;

    // True when this is the first instance. A lock that cannot be created
    // for any other reason lets this instance run as the first one.
    bool Acquire();

    // Second instance: asks the first instance of the same title to come
    // forward; true when it confirmed. A first instance under another title
    // is not found and nothing comes forward.
    bool AskFirstToComeForward(int timeoutMs = 2000);

    // First instance: answers the requests of later instances.
    bool Listen();

    QString LockPath() const;
    QString SocketPath() const;

signals:
    void ComeForwardRequested();

private:
    void AnswerPendingConnections();
    // Says once why this instance runs without the lock.
    static void ReportNoLock(const QString &what);

    QString mutexName_;
    QString title_;
    QString session_;
    bool lockFailed_ = false;
    QLocalServer *server_ = nullptr;
#ifdef _WIN32
    std::unique_ptr<win32::InstanceMutex> mutex_;
    std::unique_ptr<win32::InstanceWindow> window_;
#else
    int lockFd_ = -1;
#endif
};

// Settles the per-user runtime directory once, before the application
// object exists; an unset XDG_RUNTIME_DIR then names the fallback, so that
// its warning comes once and not from every later question.
void SettleRuntimeDirectory();
// The per-user directory of the lock and the socket.
QString RuntimeDirectory();

// The session part of the lock's and the socket's names: the platform and
// its display, as a file-name-safe text.
QString SessionKey(const QString &platform, const QString &display);
// The key of the session this program runs in.
QString CurrentSessionKey();

// Restores the main window if minimised, activates it and raises the
// dialog that is open in it, if any.
void BringWindowForward(QWidget *mainWindow);
