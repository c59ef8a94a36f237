// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The executable's file name without directory and extension; caption of
// the main window and the About window.
extern QString ApplicationTitle;

QString ApplicationTitleFromPath(const QString &path);
