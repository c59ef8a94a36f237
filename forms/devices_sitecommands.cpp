// SPDX-License-Identifier: MIT
// The main window's Tools: Scan Addresses for devices behind a router,
// and the mark of rows whose address another device reports too.
#include "devices.h"
#include "ui_devices.h"

#include <QMessageBox>

#include "addresssweep.h"
#include "apptitle.h"
#include "conflicts.h"
#include "scanaddresses.h"
#include "textfit.h"
#include "tvpinterface.h"

namespace {

// The broadcasts' answers come first (the last broadcast leaves at 2 s);
// a device they find is on the PC's link, whatever the sweep hears later.
constexpr int BroadcastAnswersMs = 2500;

} // namespace

QStringList TDeviceForm::SharedWith(const QTreeWidgetItem *Row)
{
    return Row->data(ColID, SharedRole).toStringList();
}

bool TDeviceForm::Routed(const QTreeWidgetItem *Row)
{
    return Row->data(ColInterface, RoutedRole).toBool();
}

QString TDeviceForm::RoutedInterfaceText(const QString &Interface)
{
    return QStringLiteral("via a router on ") + Interface;
}

bool TDeviceForm::NoteSharedAddress(QTreeWidgetItem *Row)
{
    const QString address = Row->text(ColIPAddress);
    QStringList &ids = IDsAt[address];
    ids << Row->text(ColID);
    std::vector<site::Sighting> scan;
    for (const QString &id : ids)
        scan.push_back({id.toStdString(), address.toStdString()});
    const site::SharedAddresses shared = site::FindSharedAddresses(scan);
    if (shared.empty())
        return false;
    // the rows listed before learn of the newcomer too
    for (const QString &id : ids) {
        QStringList others;
        for (const std::string &other : site::OthersAt(shared, address.toStdString(), id.toStdString()))
            others << QString::fromStdString(other);
        if (QTreeWidgetItem *row = ListedRows.value(id))
            MarkShared(row, others);
    }
    return true;
}

void TDeviceForm::AddressChanged(QTreeWidgetItem *Row, const QString &Before)
{
    const auto at = IDsAt.find(Before);
    if (at != IDsAt.end()) {
        at->removeAll(Row->text(ColID));
        if (at->isEmpty())
            IDsAt.erase(at);
    }
    NoteSharedAddress(Row);
}

void TDeviceForm::MarkShared(QTreeWidgetItem *Row, const QStringList &Others)
{
    Row->setData(ColID, SharedRole, Others);
    // never reachable on the strength of another device's answer
    SetImageIndex(Row, NotReachableImage);
    Row->setIcon(ColName, SharedAddressIcon);
    const QString tip = QStringLiteral("Also at %1: %2. A probe there can't tell the devices apart, and "
                                       "Web, Telnet or an upgrade may reach either; give each an address of "
                                       "its own.")
                            .arg(Row->text(ColIPAddress), Others.join(QStringLiteral(", ")));
    for (int c = ColName; c <= ColInterface; ++c)
        Row->setToolTip(c, tip);
    AnyShared = true;
    ShowSharedLegend();
}

void TDeviceForm::ShowSharedLegend()
{
    // it stands where the progress bar runs, so it waits for the bar to go
    const bool visible = AnyShared && !ui->Progress->isVisible();
    ui->SharedImage->setVisible(visible);
    ui->SharedLabel->setVisible(visible);
}

void TDeviceForm::PlaceSharedLegend()
{
    QLabel *label = ui->SharedLabel;
    const int width = std::max(0, ui->Panel1->width() - label->x() - 4);
    label->setFont(FittingFont(font(), {label->text()}, width));
    label->resize(width, label->height());
}

void TDeviceForm::ScanAddressesExecute()
{
    if (!ScanAddressesDialog)
        ScanAddressesDialog = new TScanAddressesForm(this);
    if (ScanAddressesDialog->exec() != QDialog::Accepted)
        return;
    ScanAddresses(ScanAddressesDialog->Targets(), ScanAddressesDialog->Rate());
}

void TDeviceForm::ScanAddresses(std::vector<site::Range> Targets, double Rate)
{
    ScanExecute();
    SweepTargets = Targets;
    SweepRate = Rate;
    Sweep = new TAddressSweep(ProtocolInterface, std::move(Targets), Rate, this);
    connect(Sweep, &TAddressSweep::Finished, this, &TDeviceForm::SweepFinished);
    QTimer::singleShot(BroadcastAnswersMs, Sweep, &TAddressSweep::Start);
}

bool TDeviceForm::Sweeping() const
{
    return Sweep && !Sweep->Done();
}

void TDeviceForm::SweepFinished()
{
    if (!Sweep || Sweep->NotAsked() == 0)
        return;
    QString named = Sweep->NotAskedNamed().join(QStringLiteral(", "));
    if (Sweep->NotAsked() > uint64_t(Sweep->NotAskedNamed().size()))
        named += QStringLiteral(" and %1 more").arg(Sweep->NotAsked() - Sweep->NotAskedNamed().size());
    QMessageBox box(
        QMessageBox::Warning, ApplicationTitle,
        QStringLiteral("%1 of %2 addresses were not asked: %3.").arg(Sweep->NotAsked()).arg(Sweep->Total()).arg(named),
        QMessageBox::Ok, this);
    box.exec();
}
