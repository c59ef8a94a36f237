// SPDX-License-Identifier: MIT
#include "textfit.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include <algorithm>

void FitLabelToText(QLabel *label)
{
    const QSize hint = label->sizeHint();
    if (label->wordWrap())
        label->resize(label->width(), std::max(label->height(), label->heightForWidth(label->width())));
    else
        label->resize(std::max(label->width(), hint.width()), std::max(label->height(), hint.height()));
}

void FitCaptionToWidth(QAbstractButton *button)
{
    // room the button takes from its width besides the caption
    int reserved = 0;
    if (qobject_cast<QRadioButton *>(button)) {
        reserved = button->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button) +
                   button->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button) + 2;
    } else {
        reserved = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) + 4;
    }
    const QString caption = button->text().remove(QLatin1Char('&'));
    button->setFont(FittingFont(button->font(), {caption}, button->width() - reserved));
}

QFont FittingFont(QFont font, const QStringList &texts, int width)
{
    auto widest = [&] {
        const QFontMetrics metrics(font);
        int w = 0;
        for (const QString &t : texts)
            w = std::max(w, metrics.horizontalAdvance(t));
        return w;
    };
    while (font.pointSizeF() > 6.5 && widest() > width)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    return font;
}
