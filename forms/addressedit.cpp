// SPDX-License-Identifier: MIT
#include "addressedit.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace {

constexpr int GroupWidth = 4; // three digits and the dot after them
constexpr int Groups = 4;

bool groupEmpty(const QString &text, int group)
{
    return text.mid(group * GroupWidth, GroupWidth - 1).trimmed().isEmpty();
}

} // namespace

int TAddressEdit::CaretForClick(const QPoint &pos) const
{
    const QString text = displayText();
    // cursorPositionAt() only reads, though not declared const
    const int at = const_cast<TAddressEdit *>(this)->cursorPositionAt(pos);
    if (at < text.size())
        return std::min(at / GroupWidth, Groups - 1) * GroupWidth;
    for (int group = 0; group < Groups; ++group) {
        if (groupEmpty(text, group))
            return group * GroupWidth;
    }
    return (Groups - 1) * GroupWidth;
}

void TAddressEdit::mousePressEvent(QMouseEvent *event)
{
    QLineEdit::mousePressEvent(event);
    // A drag or a shift-click selects as usual; a plain click places the caret.
    if (event->button() == Qt::LeftButton && !(event->modifiers() & Qt::ShiftModifier) && !inputMask().isEmpty())
        setCursorPosition(CaretForClick(event->position().toPoint()));
}

void TAddressEdit::keyPressEvent(QKeyEvent *event)
{
    // A dot typed inside a group ends it: on to the next one. Right after
    // a dot (a full group moves the caret past it) it changes nothing.
    const int at = cursorPosition();
    if (event->text() == QLatin1String(".") && !inputMask().isEmpty() && !hasSelectedText() && at % GroupWidth != 0 &&
        at / GroupWidth < Groups - 1) {
        setCursorPosition((at / GroupWidth + 1) * GroupWidth);
        return;
    }
    QLineEdit::keyPressEvent(event);
}
