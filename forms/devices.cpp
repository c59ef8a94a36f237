#include "devices.h"
#include "ui_devices.h"

#include "apptitle.h"
#include "tvpinterface.h"

TDeviceForm *DeviceForm = nullptr;

TDeviceForm::TDeviceForm(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::TDeviceForm)
{
    ui->setupUi(this);
    ProtocolInterface = new TTVPInterface(this);
    setWindowTitle(ApplicationTitle);
}

TDeviceForm::~TDeviceForm()
{
    delete ui;
}

QTreeWidgetItem *TDeviceForm::SelectedRow() const
{
    const auto rows = ui->DeviceList->selectedItems();
    return rows.isEmpty() ? nullptr : rows.first();
}

void TDeviceForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
}

void TDeviceForm::AddDevice(TTVPInterface *, const TDeviceInfo *) {}
void TDeviceForm::ScanExecute() {}
void TDeviceForm::ScanTimerTimer() {}
void TDeviceForm::ActionList1Update() {}
void TDeviceForm::DeviceListDblClick() {}
void TDeviceForm::ExitExecute() { close(); }
void TDeviceForm::WebserverExecute() {}
void TDeviceForm::TelnetExcute() {}
void TDeviceForm::NetworkExcu() {}
void TDeviceForm::home() {}
