// SPDX-License-Identifier: MIT
#include "mainwindow_support.h"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>
#include <QTreeWidget>

#include "devices.h"
#include "tvpinterface.h"

namespace mwtest {

RecordingShell &FakeShell()
{
    return testsupport::TestShell();
}

void RunUntilIdle()
{
    QEventLoop loop;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
}

QTreeWidget *DeviceList(TDeviceForm &form)
{
    return form.findChild<QTreeWidget *>(QStringLiteral("DeviceList"));
}

QStringList Column(TDeviceForm &form, int column)
{
    QStringList texts;
    QTreeWidget *list = DeviceList(form);
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(column);
    return texts;
}

TDeviceInfo Device(const QString &name, const QString &id, const QString &ip)
{
    TDeviceInfo info;
    info.Name = name;
    info.Type = QStringLiteral("Serial Server");
    // a loopback address: a probe of it never leaves the machine
    info.IPAddress = ip.isEmpty() ? QStringLiteral("127.0.0.250") : ip;
    info.ID = id;
    info.Interface = QStringLiteral("lo");
    return info;
}

} // namespace mwtest
