// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

namespace Ui {
class TDeviceCommForm;
}

class QTimer;

// Results of the program's modal dialogs.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

// The wait that stands in front of the IP dialog while a device answers.
class TDeviceCommForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TDeviceCommForm(QWidget *parent = nullptr);
    ~TDeviceCommForm() override;
    TDeviceCommForm(const TDeviceCommForm &) = delete;
    TDeviceCommForm &operator=(const TDeviceCommForm &) = delete;

    QTimer *ComTimer = nullptr;

    // Ends the running wait with Result; outside a running wait (hidden,
    // in its show event, or behind the failure box) it is discarded.
    void SetModalResult(int Result);
    // True from the start of the modal loop until the wait ends.
    bool IsWaiting() const { return State == TState::Waiting; }

public slots:
    int exec() override;
    void done(int Result) override;
    void reject() override;

    void FormShow();
    void FormClose();
    void ComTimerTimer();
    void CancelButtonClick();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    enum class TState { Hidden, Showing, Waiting, Failing };
    TState State = TState::Hidden;
    Ui::TDeviceCommForm *ui;
};

extern TDeviceCommForm *DeviceCommForm;
