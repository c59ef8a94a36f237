// SPDX-License-Identifier: MIT
#pragma once

#include <QLineEdit>

// A masked dotted-quad field ("999.999.999.999"). In a proportional font
// the blank template is far narrower than the field, and a click to its
// right would put the caret behind the last group, where typing is lost: a
// click puts the caret at the start of the group clicked, or of the first
// empty group when the click lies past the text.
class TAddressEdit final : public QLineEdit
{
    Q_OBJECT

public:
    using QLineEdit::QLineEdit;

    // Where a click at this point puts the caret.
    int CaretForClick(const QPoint &pos) const;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};
