// SPDX-License-Identifier: MIT
#include "findbar.h"
#include "ui_findbar.h"

#include <QApplication>
#include <QKeyEvent>

TFindBar::TFindBar(QWidget *parent)
    : QWidget(parent),
      ui(new Ui::TFindBar)
{
    ui->setupUi(this);
    connect(ui->FindEdit, &QLineEdit::textChanged, this, &TFindBar::FilterChanged);
    ui->FindEdit->installEventFilter(this);
    hide();
}

TFindBar::~TFindBar()
{
    delete ui;
}

void TFindBar::Open()
{
    show();
    ui->FindEdit->setFocus(Qt::ShortcutFocusReason);
    ui->FindEdit->selectAll();
}

void TFindBar::CloseBar()
{
    const bool hadFocus = isAncestorOf(QApplication::focusWidget());
    hide();
    // every row shows again, and the typed text stays for the next Find
    emit Closed();
    if (hadFocus && parentWidget())
        emit GoToList();
}

QString TFindBar::FilterText() const
{
    return isHidden() ? QString() : ui->FindEdit->text().trimmed();
}

bool TFindBar::Matches(const QStringList &Texts) const
{
    const QString text = FilterText();
    if (text.isEmpty())
        return true;
    for (const QString &t : Texts)
        if (t.contains(text, Qt::CaseInsensitive))
            return true;
    return false;
}

void TFindBar::ShowCounts(int Matching, int Total, int NotReachable)
{
    ui->FindCount->setText(FindCountText(Matching, Total, NotReachable));
}

bool TFindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->FindEdit && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        switch (key->key()) {
        case Qt::Key_Down:
        case Qt::Key_Return:
        case Qt::Key_Enter: emit GoToList(); return true;
        default: break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFindBar::keyPressEvent(QKeyEvent *event)
{
    // wherever the focus is in the bar
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        CloseBar();
        return;
    }
    QWidget::keyPressEvent(event);
}

QString FindCountText(int Matching, int Total, int NotReachable)
{
    return QStringLiteral("%1 of %2 %3 %4, %5 not reachable")
        .arg(Matching)
        .arg(Total)
        .arg(Total == 1 ? QStringLiteral("device") : QStringLiteral("devices"))
        .arg(Matching == 1 ? QStringLiteral("matches") : QStringLiteral("match"))
        .arg(NotReachable);
}
