#include "about.h"
#include "ui_about.h"

TAboutForm *AboutForm = nullptr;

TAboutForm::TAboutForm(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::TAboutForm)
{
    ui->setupUi(this);
}

TAboutForm::~TAboutForm()
{
    delete ui;
}
