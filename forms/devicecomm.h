#pragma once

#include <QDialog>

namespace Ui {
class TDeviceCommForm;
}

class TDeviceCommForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TDeviceCommForm(QWidget *parent = nullptr);
    ~TDeviceCommForm() override;
    TDeviceCommForm(const TDeviceCommForm &) = delete;
    TDeviceCommForm &operator=(const TDeviceCommForm &) = delete;

private:
    Ui::TDeviceCommForm *ui;
};

extern TDeviceCommForm *DeviceCommForm;
