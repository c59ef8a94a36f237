// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The programs and documents that the main window starts through the
// desktop shell. Tests replace the shell with a recording fake.
class Shell
{
public:
    // Learns whether the opener succeeded; may run after OpenURL returned.
    using OpenResult = std::function<void(bool opened)>;
    // Learns why the neighbour cache of an interface was not flushed.
    using FlushFailure = std::function<void(const QString &reason)>;

    virtual ~Shell() = default;
    // Opens a URL in the user's browser. A browser that cannot be started,
    // or an opener that ends in failure, reports false.
    virtual void OpenURL(const QString &url, OpenResult done) = 0;
    virtual void StartTelnet(const QString &address) = 0;
    virtual void OpenNetworkSettings() = 0;
    // Empties the PC's address-resolution cache for these interfaces only
    // (Windows: the whole cache, as its arp program does); the scan does
    // not wait for it.
    virtual void FlushArpCache(const QStringList &interfaces, FlushFailure failed) = 0;
};

// The shell in use; the platform's own unless a test installed another.
Shell &CurrentShell();
// The platform's own shell (shell_posix.cpp, shell_win.cpp).
Shell &SystemShell();
// Installs a shell (nullptr: the platform's own again); not owned.
void SetShell(Shell *shell);

// True when a /proc/<pid>/status text grants the effective capability.
bool HasEffectiveCapability(const QString &statusText, int capability);
