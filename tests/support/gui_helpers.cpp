// SPDX-License-Identifier: MIT
#include "gui_helpers.h"

#include "devices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QTreeWidget>
#include <QThread>

namespace testsupport {

QTreeWidget *DeviceList()
{
    return DeviceForm->findChild<QTreeWidget *>(QStringLiteral("DeviceList"));
}

QTreeWidgetItem *DeviceRow(const QString &name)
{
    QTreeWidget *list = DeviceList();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(TDeviceForm::ColName) == name)
            return list->topLevelItem(i);
    return nullptr;
}

bool MarkedNotReachable(const QTreeWidgetItem *row)
{
    return TDeviceForm::ImageIndex(row) == TDeviceForm::NotReachableImage;
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

ModalWatcher::ModalWatcher(int intervalMs)
{
    timer_.setInterval(intervalMs);
    connect(&timer_, &QTimer::timeout, this, &ModalWatcher::poll);
    timer_.start();
}

void ModalWatcher::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        if (!closeBoxes || box->property("netscry_test_seen").toBool())
            return;
        box->setProperty("netscry_test_seen", true);
        ShownBox shown;
        shown.title = box->windowTitle();
        shown.text = box->text();
        shown.informativeText = box->informativeText();
        shown.icon = box->icon();
        for (QAbstractButton *b : box->buttons())
            shown.buttons << b->text();
        shown.applicationModal = box->windowModality() == Qt::ApplicationModal;
        boxes.push_back(shown);
        if (!box->buttons().isEmpty())
            box->buttons().first()->click();
        return;
    }
    if (onDialog)
        onDialog(modal);
}

RecordingShell &TestShell()
{
    static RecordingShell shell;
    return shell;
}

} // namespace testsupport
