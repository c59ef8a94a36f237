// SPDX-License-Identifier: MIT
#include "errors.h"

#include <QApplication>
#include <QMessageBox>

#include "apptitle.h"

QString ExceptionMessageText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}

void ShowException(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle, ExceptionMessageText(message), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

QString UnknownErrorText()
{
    return QStringLiteral("Unknown error");
}
