// SPDX-License-Identifier: MIT
#include "log.h"
#include "ui_log.h"

#include <QApplication>

TLogForm *LogForm = nullptr;
bool DebugMode = false;

TLogForm::TLogForm(QWidget *parent)
    : QWidget(parent, Qt::Window),
      ui(new Ui::TLogForm)
{
    ui->setupUi(this);
}

TLogForm::~TLogForm()
{
    if (LogForm == this)
        LogForm = nullptr;
    delete ui;
}

QStringList TLogForm::Lines() const
{
    QStringList lines;
    for (int i = 0; i < ui->LogList->count(); ++i)
        lines << ui->LogList->item(i)->text();
    return lines;
}

void TLogForm::showEvent(QShowEvent *event)
{
    // Centred on the main window, which is the first top-level window shown.
    QWidget *main = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w != this && w->isWindow() && w->isVisible() && w->inherits("QMainWindow")) {
            main = w;
            break;
        }
    }
    if (main)
        move(main->frameGeometry().center() - rect().center());
    QWidget::showEvent(event);
}

void LogLine(QString Text)
{
    // A line that arrives before the window exists has nowhere to go.
    if (!DebugMode || !LogForm)
        return;
    LogForm->ui->LogList->addItem(Text);
}
