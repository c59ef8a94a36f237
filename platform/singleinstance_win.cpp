// SPDX-License-Identifier: MIT
// One instance on Windows: the named mutex and the hidden "TApplication"
// window of the Win32 layer.
#include "singleinstance.h"

#include <QCoreApplication>

#include <cstdio>

#include "win32_calls.h"

// The runtime directory matters only to the lock file of other systems.
void SettleRuntimeDirectory()
{}

SingleInstanceGuard::SingleInstanceGuard(const QString &mutexName, const QString &title, QObject *parent)
    : QObject(parent),
      mutexName_(mutexName),
      title_(title),
      session_(CurrentSessionKey())
{}

// The mutex lives as long as the guard, which lives as long as main().
SingleInstanceGuard::~SingleInstanceGuard() = default;

bool SingleInstanceGuard::Acquire()
{
    mutex_ = std::make_unique<win32::InstanceMutex>(mutexName_.toLocal8Bit().toStdString());
    switch (mutex_->State()) {
    case win32::InstanceState::First: return true;
    case win32::InstanceState::AlreadyRunning: return false;
    case win32::InstanceState::Unknown: break;
    }
    lockFailed_ = true;
    ReportNoLock(QStringLiteral("cannot create the mutex %1: error %2").arg(mutexName_).arg(mutex_->Error()));
    return true;
}

bool SingleInstanceGuard::AskFirstToComeForward(int timeoutMs)
{
    return win32::BringInstanceForward(title_.toLocal8Bit().toStdString(), unsigned(timeoutMs > 0 ? timeoutMs : 0));
}

bool SingleInstanceGuard::Listen()
{
    window_ = std::make_unique<win32::InstanceWindow>(title_.toLocal8Bit().toStdString(),
                                                      [this] { emit ComeForwardRequested(); });
    if (!window_->Handle()) {
        if (!lockFailed_)
            std::fprintf(stderr,
                         "%s: cannot make the instance window: error %lu; a second start will not find this one\n",
                         qPrintable(QCoreApplication::applicationName()), window_->Error());
        return false;
    }
    return true;
}
