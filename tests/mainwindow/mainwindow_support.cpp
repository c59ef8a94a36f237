// SPDX-License-Identifier: MIT
#include "mainwindow_support.h"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QPalette>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>

#include "devices.h"
#include "gui_helpers.h"
#include "keepscanning.h"
#include "tvpinterface.h"

namespace mwtest {

RecordingShell &FakeShell()
{
    return testsupport::TestShell();
}

void RunUntilIdle()
{
    QEventLoop loop;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop,
                     &QEventLoop::quit);
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

bool KeepScanningRescan(TDeviceForm &form, const std::function<void()> &during)
{
    QSignalSpy ended(form.Rescanner, &TKeepScanning::RescanEnded);
    if (!form.Rescanner->Collecting() && !form.Rescanner->Rescan())
        return false;
    if (during)
        during();
    // five broadcasts over two seconds and half a second for the last answers
    return testsupport::WaitFor([&] { return !ended.isEmpty(); }, 6000) && ended.first().first().toBool();
}

bool ShownNew(const QTreeWidgetItem *row)
{
    return row->font(TDeviceForm::ColName).bold();
}

QString MissingTip(const QTreeWidgetItem *row)
{
    // greyed: the colour of disabled text, which differs from the normal one
    const QPalette palette = row->treeWidget()->palette();
    const QColor grey = palette.color(QPalette::Disabled, QPalette::Text);
    const bool greyed = grey != palette.color(QPalette::Active, QPalette::Text) &&
                        row->foreground(TDeviceForm::ColName).color() == grey &&
                        row->data(TDeviceForm::ColName, Qt::ForegroundRole).isValid();
    return greyed ? row->toolTip(TDeviceForm::ColName) : QString();
}

} // namespace mwtest
