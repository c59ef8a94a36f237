// SPDX-License-Identifier: MIT
#include "accelerators.h"

#include <QAction>
#include <QList>
#include <QString>
#include <QWidget>

namespace {

// The letter after a single "&", upper-cased; null when there is none
// ("&&" is a plain "&").
QChar AcceleratorOf(const QString &Caption)
{
    for (qsizetype i = 0; i + 1 < Caption.size(); ++i) {
        if (Caption[i] != u'&')
            continue;
        if (Caption[i + 1] != u'&')
            return Caption[i + 1].toUpper();
        ++i;
    }
    return {};
}

// Where a letter could go: the first letter of each word, then the others.
QList<qsizetype> Candidates(const QString &Caption)
{
    QList<qsizetype> initials, others;
    bool wordStart = true;
    for (qsizetype i = 0; i < Caption.size(); ++i) {
        const bool letter = Caption[i].isLetterOrNumber();
        if (letter)
            (wordStart ? initials : others) << i;
        wordStart = !letter;
    }
    return initials + others;
}

} // namespace

void AddAccelerators(QWidget *Menu)
{
    const QList<QAction *> items = Menu->actions();
    QString used;
    for (const QAction *item : items)
        if (const QChar letter = AcceleratorOf(item->text()); !letter.isNull())
            used += letter;
    for (QAction *item : items) {
        QString caption = item->text();
        if (item->isSeparator() || caption.isEmpty() || !AcceleratorOf(caption).isNull())
            continue;
        for (const qsizetype at : Candidates(caption)) {
            const QChar letter = caption[at].toUpper();
            if (used.contains(letter))
                continue;
            used += letter;
            item->setText(caption.insert(at, u'&'));
            break;
        }
    }
}
