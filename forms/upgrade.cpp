#include "upgrade.h"
#include "ui_upgrade.h"

TUpgradeForm *UpgradeForm = nullptr;

TUpgradeForm::TUpgradeForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::TUpgradeForm)
{
    ui->setupUi(this);
}

TUpgradeForm::~TUpgradeForm()
{
    delete ui;
}

void HandleUpgradeEvent(uint32_t, const void *) {}
