// Upgrade, Upgrade... and About commands of the main window.
#include "devices.h"
#include "ui_devices.h"

void TDeviceForm::DoUpgradeExecute() {}
void TDeviceForm::UpgradeAnyExecute() {}
void TDeviceForm::AboutExecute() {}
