#include "ipconfig.h"
#include "ui_ipconfig.h"

TIPConfigForm *IPConfigForm = nullptr;

TIPConfigForm::TIPConfigForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::TIPConfigForm)
{
    ui->setupUi(this);
}

TIPConfigForm::~TIPConfigForm()
{
    delete ui;
}
