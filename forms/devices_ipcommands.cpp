// Configure and Auto IP commands of the main window.
#include "devices.h"
#include "ui_devices.h"

void TDeviceForm::SetIPConfigExecute() {}
void TDeviceForm::AutoSetIPExecute() {}
