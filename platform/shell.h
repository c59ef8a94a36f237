#pragma once

#include <QString>

// The programs and documents that the main window starts through the
// desktop shell. Tests replace the shell with a recording fake.
class Shell
{
public:
    virtual ~Shell() = default;
    // Opens a URL in the user's browser; false when that failed.
    virtual bool OpenURL(const QString &url) = 0;
    virtual void StartTelnet(const QString &address) = 0;
    virtual void OpenNetworkSettings() = 0;
    virtual void FlushArpCache() = 0;
};

// The shell in use; the platform's own unless a test installed another.
Shell &CurrentShell();
// Installs a shell (nullptr: the platform's own again); not owned.
void SetShell(Shell *shell);
