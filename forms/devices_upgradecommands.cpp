// SPDX-License-Identifier: MIT
// Upgrade, Upgrade..., About and the Tools menu of the main window.
#include "devices.h"

#include <QTreeWidgetItem>

#include "about.h"
#include "fleetupgrade.h"
#include "keepscanning.h"
#include "tvpinterface.h"
#include "upgrade.h"

void TDeviceForm::DoUpgradeExecute()
{
    QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    // The file name stays as the dialog last held it.
    UpgradeForm->SetIPAddressText(row->text(ColIPAddress));
    UpgradeForm->exec();
}

void TDeviceForm::UpgradeAnyExecute()
{
    UpgradeForm->SetIPAddressText(QString());
    UpgradeForm->exec();
}

void TDeviceForm::AboutExecute()
{
    AboutForm->exec();
}

void TDeviceForm::UpgradeSeveralExecute()
{
    if (!FleetUpgradeForm)
        FleetUpgradeForm = new TFleetUpgradeForm(ProtocolInterface, this);
    FleetUpgradeForm->SetDevices(ListedDevices());
    FleetUpgradeForm->exec();
}

void TDeviceForm::KeepScanningToggled(bool Checked)
{
    Rescanner->SetRunning(Checked);
}
