#pragma once

#include <QDialog>

namespace Ui {
class TIPConfigForm;
}

class TIPConfigForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TIPConfigForm(QWidget *parent = nullptr);
    ~TIPConfigForm() override;
    TIPConfigForm(const TIPConfigForm &) = delete;
    TIPConfigForm &operator=(const TIPConfigForm &) = delete;

    QString DeviceID;

private:
    Ui::TIPConfigForm *ui;
};

extern TIPConfigForm *IPConfigForm;
