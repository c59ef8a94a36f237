// Shared by the main-window tests: a shell that records instead of starting
// programs (no test may flush the machine's ARP cache or open a browser),
// and small event-loop helpers.
#pragma once

#include <QString>
#include <QStringList>

#include "shell.h"

class QTreeWidget;
class TDeviceForm;
struct TDeviceInfo;

namespace mwtest {

class RecordingShell final : public Shell
{
public:
    bool OpenURL(const QString &url) override
    {
        urls << url;
        return openSucceeds;
    }
    void StartTelnet(const QString &address) override { telnet << address; }
    void OpenNetworkSettings() override { ++networkSettings; }
    void FlushArpCache() override { ++arpFlushes; }

    void Reset() { *this = RecordingShell(); }

    QStringList urls;
    QStringList telnet;
    int networkSettings = 0;
    int arpFlushes = 0;
    bool openSucceeds = true;
};

// The shell every test of the process uses; installed before any test runs.
RecordingShell &FakeShell();

// Runs the event loop until it is about to wait for events: the moment the
// program applies its enabling rules.
void RunUntilIdle();

QTreeWidget *DeviceList(TDeviceForm &form);
QStringList Column(TDeviceForm &form, int column);

TDeviceInfo Device(const QString &name, const QString &id, const QString &ip = QString());

} // namespace mwtest
