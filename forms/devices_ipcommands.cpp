// SPDX-License-Identifier: MIT
// Configure and Auto IP commands of the main window, and Tools > Address
// Plan..., which re-addresses many devices.
#include "devices.h"
#include "ui_devices.h"

#include <QMessageBox>

#include "addressplan.h"
#include "apptitle.h"
#include "devicecomm.h"
#include "ipconfig.h"
#include "tvp.h"
#include "tvpinterface.h"

void TDeviceForm::SetIPConfigExecute()
{
    const QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    IPConfigForm->DeviceID = row->text(ColID);
    // a device behind a router hears only what is sent to its own address
    const bool routed = Routed(row);
    IPConfigForm->DeviceAddress = routed ? row->text(ColIPAddress) : QString();
    // only acknowledged new settings are worth a new scan
    if (IPConfigForm->exec() != mrOk)
        return;
    if (!routed) {
        ScanExecute();
        return;
    }
    // no broadcast finds it again: ask where it was found, and where it went
    std::vector<site::Range> targets = SweepTargets;
    std::string ignored;
    if (const auto moved = site::ParseTarget(IPConfigForm->SentAddress.toStdString(), &ignored))
        targets.push_back(*moved);
    ScanAddresses(site::MergeRanges(std::move(targets)), SweepRate);
}

void TDeviceForm::AutoSetIPExecute()
{
    const QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    if (Routed(row)) {
        QMessageBox box(QMessageBox::Information, ApplicationTitle,
                        QStringLiteral("Auto IP works only on the PC's own link: it chooses a free address "
                                       "where the PC's broadcasts reach the device. ") +
                            row->text(ColName) + QStringLiteral(" at ") + row->text(ColIPAddress) +
                            QStringLiteral(" was reached through a router; give it an address with "
                                           "Configure."),
                        QMessageBox::Ok, this);
        // the name comes from the network: never let it render as markup
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return;
    }
    char address[TVP_ADDRESS_TEXT_SIZE] = {};
    char mask[TVP_ADDRESS_TEXT_SIZE] = {};
    char gateway[TVP_ADDRESS_TEXT_SIZE] = {};
    if ((TVPChooseIPAddress(row->text(ColInterface).toUtf8().constData(), address, mask, gateway) & 0xff) == 0)
        return;
    uint8_t id[TVP_ID_SIZE] = {};
    MacToID(row->text(ColID), id);
    // the answer is not awaited: the new scan shows whether it took
    ProtocolInterface->SetIP(id, QString::fromUtf8(address), QString::fromUtf8(mask), QString::fromUtf8(gateway),
                             false);
    ScanExecute();
}

void TDeviceForm::AddressPlanExecute()
{
    if (!AddressPlanForm) {
        AddressPlanForm = new TAddressPlanForm(ProtocolInterface, this);
        // as after a Configure that ended with OK
        connect(AddressPlanForm, &TAddressPlanForm::PlanApplied, this, &TDeviceForm::ScanExecute);
    }
    AddressPlanForm->SetListedDevices(ListedDevices());
    // modal to this window, without a loop of its own: a check or an apply
    // runs on the program's one event loop
    AddressPlanForm->open();
}
