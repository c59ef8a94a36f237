// SPDX-License-Identifier: MIT
#include "devicecomm.h"
#include "ui_devicecomm.h"

#include <QMessageBox>
#include <QShowEvent>
#include <QTimer>

#include "log.h"
#include "textfit.h"

TDeviceCommForm *DeviceCommForm = nullptr;

TDeviceCommForm::TDeviceCommForm(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::TDeviceCommForm)
{
    ui->setupUi(this);
    FitLabelToText(ui->Label1);
    FitCaptionToWidth(ui->CancelButton);
    ComTimer = new QTimer(this);
    ComTimer->setObjectName(QStringLiteral("ComTimer"));
    ComTimer->setInterval(100);
    // never early: the time-out is thirty ticks
    ComTimer->setTimerType(Qt::PreciseTimer);
    connect(ComTimer, &QTimer::timeout, this, &TDeviceCommForm::ComTimerTimer);
}

TDeviceCommForm::~TDeviceCommForm()
{
    delete ui;
}

int TDeviceCommForm::exec()
{
    State = TState::Showing;
    // Shown first, so that whatever FormShow or a reply does meanwhile is
    // dropped: QDialog::exec() clears the result after this show.
    show();
    if (!isVisible()) {
        State = TState::Hidden;
        return mrCancel;
    }
    State = TState::Waiting;
    const int result = QDialog::exec();
    State = TState::Hidden;
    return result;
}

void TDeviceCommForm::SetModalResult(int Result)
{
    if (State != TState::Waiting)
        return;
    State = TState::Hidden;
    QDialog::done(Result);
}

void TDeviceCommForm::done(int Result)
{
    // Esc, the close box and accept()/reject() end only a running wait; a
    // dialog hidden before its loop began would never come back.
    SetModalResult(Result);
}

void TDeviceCommForm::reject()
{
    done(mrCancel);
}

void TDeviceCommForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TDeviceCommForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    if (!event->spontaneous()) {
        FormClose();
        // shown again where it last stood
        setAttribute(Qt::WA_Moved);
    }
}

void TDeviceCommForm::FormShow()
{
    ComTimer->start();
    ui->Progress->setValue(0);
    LogLine(QStringLiteral("Device Comm opened"));
}

void TDeviceCommForm::FormClose()
{
    ComTimer->stop();
}

void TDeviceCommForm::ComTimerTimer()
{
    ui->Progress->setValue(qMin(ui->Progress->value() + 1, ui->Progress->maximum()));
    if (ui->Progress->value() < ui->Progress->maximum())
        return;
    ComTimer->stop();
    // a reply while the box is open does not change the outcome
    State = TState::Failing;
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Failure"), QStringLiteral("Communication Failed"),
                    QMessageBox::Ok, this);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    State = TState::Waiting;
    SetModalResult(mrCancel);
}

void TDeviceCommForm::CancelButtonClick()
{
    ComTimer->stop();
    SetModalResult(mrCancel);
}
