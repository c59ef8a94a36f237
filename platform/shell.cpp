#include "shell.h"

namespace {

class NullShell final : public Shell
{
public:
    bool OpenURL(const QString &) override { return false; }
    void StartTelnet(const QString &) override {}
    void OpenNetworkSettings() override {}
    void FlushArpCache() override {}
};

Shell *installed = nullptr;

} // namespace

Shell &CurrentShell()
{
    static NullShell platformShell;
    return installed ? *installed : platformShell;
}

void SetShell(Shell *shell)
{
    installed = shell;
}
