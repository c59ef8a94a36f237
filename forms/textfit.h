// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>
#include <QStringList>

class QAbstractButton;
class QLabel;

// Places are fixed in pixels, the desktop's font is not: these keep the
// texts of a fixed layout whole.

// Grows a label to its text, as a self-sizing label does; a word-wrapped
// one keeps its width and grows in height. Never shrinks.
void FitLabelToText(QLabel *label);

// Shrinks a button's font until its caption fits the button's width.
void FitCaptionToWidth(QAbstractButton *button);

// The font, shrunk in half points (down to 6.5) until the widest of the
// texts fits the width.
QFont FittingFont(QFont font, const QStringList &texts, int width);
