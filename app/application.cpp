// SPDX-License-Identifier: MIT
#include "application.h"

#include "about.h"
#include "devicecomm.h"
#include "devices.h"
#include "errors.h"
#include "ipconfig.h"
#include "log.h"
#include "upgrade.h"

TApplication::TApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(UnknownErrorText());
    }
    return false;
}

QStringList ProgramArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc && argv[i]; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

bool HasDebugSwitch(const QStringList &arguments)
{
    return arguments.indexOf(QStringLiteral("-d"), 1) > 0;
}

void CreateWindows()
{
    // The main window first: its protocol interface object registers the
    // library callback with the debug flag of this moment.
    DeviceForm = new TDeviceForm;
    UpgradeForm = new TUpgradeForm(DeviceForm);
    IPConfigForm = new TIPConfigForm(DeviceForm);
    DeviceCommForm = new TDeviceCommForm(DeviceForm);
    AboutForm = new TAboutForm(DeviceForm);
    LogForm = new TLogForm;
}

void ShowWindows()
{
    DeviceForm->show();
    if (DebugMode)
        LogForm->show();
}

void DestroyWindows()
{
    delete LogForm;
    LogForm = nullptr;
    // The dialogs are children of the main window and go with it.
    delete DeviceForm;
    DeviceForm = nullptr;
    UpgradeForm = nullptr;
    IPConfigForm = nullptr;
    DeviceCommForm = nullptr;
    AboutForm = nullptr;
}
