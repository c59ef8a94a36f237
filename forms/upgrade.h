#pragma once

#include <QDialog>

#include <cstdint>

namespace Ui {
class TUpgradeForm;
}

class TUpgradeForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TUpgradeForm(QWidget *parent = nullptr);
    ~TUpgradeForm() override;
    TUpgradeForm(const TUpgradeForm &) = delete;
    TUpgradeForm &operator=(const TUpgradeForm &) = delete;

private:
    Ui::TUpgradeForm *ui;
};

extern TUpgradeForm *UpgradeForm;

// Routes the library's upgrade events (code 4) to the one upgrade dialog.
void HandleUpgradeEvent(uint32_t Code, const void *Record);
