#include "devicecomm.h"
#include "ui_devicecomm.h"

TDeviceCommForm *DeviceCommForm = nullptr;

TDeviceCommForm::TDeviceCommForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::TDeviceCommForm)
{
    ui->setupUi(this);
}

TDeviceCommForm::~TDeviceCommForm()
{
    delete ui;
}
