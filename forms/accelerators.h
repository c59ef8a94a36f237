// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

// Gives every item of a menu or menu bar whose caption has no "&" an
// accelerator letter of its caption that no other item there uses; items
// with an "&" keep theirs. The caption reads as before, the letter
// underlined.
void AddAccelerators(QWidget *Menu);
