// SPDX-License-Identifier: MIT
#include "ipconfig.h"
#include "ui_ipconfig.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QLoggingCategory>
#include <QShowEvent>

#include "devicecomm.h"
#include "errors.h"
#include "log.h"
#include "textfit.h"
#include "tvpinterface.h"

Q_LOGGING_CATEGORY(lcIPConfig, "netscry.ipconfig")

TIPConfigForm *IPConfigForm = nullptr;

QString StripBlanks(const QString &Text)
{
    QString result;
    result.reserve(Text.size());
    for (const QChar c : Text) {
        if (c != QLatin1Char(' '))
            result += c;
    }
    return result;
}

TIPConfigForm::TIPConfigForm(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TIPConfigForm)
{
    ui->setupUi(this);
    for (QLabel *label : {ui->Label1, ui->Label2, ui->Label3, ui->Label4})
        FitLabelToText(label);
    const QList<QAbstractButton *> buttons = {ui->AddrAuto, ui->AddrStatic, ui->CancelButton, ui->ApplyButton};
    for (QAbstractButton *button : buttons)
        FitCaptionToWidth(button);
    // The group is one tab stop, held by its checked button, in that
    // button's place of the tab order; a click still focuses either one.
    // Qt hands the stop to the button that last had the focus, so it is
    // put back after every change of focus too.
    const auto moveTabStop = [this] {
        for (QRadioButton *button : {ui->AddrAuto, ui->AddrStatic})
            button->setFocusPolicy(button->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    };
    connect(ui->AddrAuto, &QRadioButton::toggled, this, moveTabStop);
    connect(ui->AddrStatic, &QRadioButton::toggled, this, moveTabStop);
    connect(qApp, &QApplication::focusChanged, this, [moveTabStop, this](QWidget *, QWidget *now) {
        if (now == ui->AddrAuto || now == ui->AddrStatic)
            moveTabStop();
    });
    moveTabStop();
    // the command list refreshes its commands whenever the program goes idle
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &TIPConfigForm::ActionList1Update);
}

TIPConfigForm::~TIPConfigForm()
{
    delete ui;
}

void TIPConfigForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // runs before the window appears: the wait dialog is seen first
    if (!event->spontaneous())
        FormShow();
}

void TIPConfigForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    // shown again where it last stood
    if (!event->spontaneous()) {
        setAttribute(Qt::WA_Moved);
        DeviceAddress.clear();
    }
}

void TIPConfigForm::reject()
{
    done(mrCancel);
}

bool TIPConfigForm::IsFromThisDevice(const TDeviceInfo *Info) const
{
    if (Info && Info->ID == DeviceID)
        return true;
    // a late answer of another device must not pass for this one's
    if (DebugMode)
        qCInfo(lcIPConfig) << "ignored a reply from" << (Info ? Info->ID : QString()) << "while addressing" << DeviceID;
    return false;
}

void TIPConfigForm::FormShow()
{
    uint8_t id[TVP_ID_SIZE] = {};
    MacToID(DeviceID, id);
    if (CurrentInterface) {
        CurrentInterface->OnDeviceReply = [this](TTVPInterface *Sender, const TDeviceInfo *Info) {
            GetIPReply(Sender, Info);
        };
        if (DeviceAddress.isEmpty())
            CurrentInterface->GetIP(id);
        else
            CurrentInterface->GetIPAt(id, DeviceAddress);
    }
    DeviceCommForm->exec();
}

void TIPConfigForm::GetIPReply(TTVPInterface *, const TDeviceInfo *Info)
{
    if (!IsFromThisDevice(Info))
        return;
    ui->IPAddress->setText(Info->IPAddress);
    ui->DefaultGateway->setText(Info->DefaultGateway);
    ui->SubnetMask->setText(Info->SubnetMask);
    ui->AddrAuto->setChecked(Info->UseDHCP != 0);
    ui->AddrStatic->setChecked(Info->UseDHCP == 0);
    DeviceCommForm->SetModalResult(mrOk);
    LogLine(QStringLiteral("Got IP"));
}

void TIPConfigForm::SetIPReply(TTVPInterface *, const TDeviceInfo *Info)
{
    if (!IsFromThisDevice(Info))
        return;
    DeviceCommForm->SetModalResult(mrOk);
}

void TIPConfigForm::ActionList1Update()
{
    const bool enabled = !ui->AddrAuto->isChecked();
    ui->IPAddress->setEnabled(enabled);
    ui->DefaultGateway->setEnabled(enabled);
    ui->SubnetMask->setEnabled(enabled);
    ui->Panel1->setEnabled(enabled);
}

void TIPConfigForm::ApplyExecute()
{
    RunHandler([this] {
        ActionList1Update();
        if (StripBlanks(ui->IPAddress->displayText()) == QLatin1String("..."))
            throw EInputError("IP address must be entered.");
        uint8_t id[TVP_ID_SIZE] = {};
        MacToID(DeviceID, id);
        if (CurrentInterface) {
            CurrentInterface->OnDeviceReply = [this](TTVPInterface *Sender, const TDeviceInfo *Info) {
                SetIPReply(Sender, Info);
            };
        }
        const QString mask = StripBlanks(ui->SubnetMask->displayText());
        const QString gateway = StripBlanks(ui->DefaultGateway->displayText());
        const bool useDHCP = ui->AddrAuto->isChecked();
        const QString address = StripBlanks(ui->IPAddress->displayText());
        SentAddress = useDHCP ? QString() : address;
        if (CurrentInterface && DeviceAddress.isEmpty())
            CurrentInterface->SetIP(id, address, mask, gateway, useDHCP);
        else if (CurrentInterface)
            CurrentInterface->SetIPAt(id, DeviceAddress, address, mask, gateway, useDHCP);
        if (DeviceCommForm->exec() == mrOk)
            done(mrOk);
    });
}
