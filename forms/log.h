// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

namespace Ui {
class TLogForm;
}

// Diagnostic log: one line per event, kept only in debug mode.
class TLogForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TLogForm(QWidget *parent = nullptr);
    ~TLogForm() override;
    TLogForm(const TLogForm &) = delete;
    TLogForm &operator=(const TLogForm &) = delete;

    QStringList Lines() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    friend void LogLine(QString Text);
    Ui::TLogForm *ui;
};

extern TLogForm *LogForm;
extern bool DebugMode;

void LogLine(QString Text);
