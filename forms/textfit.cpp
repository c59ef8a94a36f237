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
        reserved = button->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button)
            + button->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button) + 2;
    } else {
        reserved = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) + 4;
    }
    QFont font = button->font();
    const QString caption = button->text().remove(QLatin1Char('&'));
    while (font.pointSizeF() > 6.5 && QFontMetrics(font).horizontalAdvance(caption) + reserved > button->width())
        font.setPointSizeF(font.pointSizeF() - 0.5);
    button->setFont(font);
}
