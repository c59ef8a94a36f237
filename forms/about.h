#pragma once

#include <QDialog>

namespace Ui {
class TAboutForm;
}

class TAboutForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *parent = nullptr);
    ~TAboutForm() override;
    TAboutForm(const TAboutForm &) = delete;
    TAboutForm &operator=(const TAboutForm &) = delete;

private:
    Ui::TAboutForm *ui;
};

extern TAboutForm *AboutForm;
