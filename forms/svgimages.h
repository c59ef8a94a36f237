// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QString>

// The program's pictures are SVG files in its resources, drawn here with Qt
// SVG itself: without the toolkit's SVG image plugins (a trimmed install)
// loading them by file name would give empty pictures, and the
// not-reachable mark would vanish from the rows. Where Qt SVG is missing
// (Qt for Windows built from its base alone) the build renders the same
// files to PNG at the sizes the windows use (svgimages_rendered.cpp).

// The picture at this size in device-independent pixels, sharp at the
// device pixel ratio; a null pixmap when the file is no valid SVG.
QPixmap RenderSvg(const QString &file, QSize size, qreal devicePixelRatio = 1.0);

// The picture with a one-pixel ring around its shape, light beside dark
// edges and dark beside light ones, so that it holds on light and on dark
// tool bars alike.
QImage WithContrastOutline(const QImage &picture);
QPixmap OutlinedSvg(const QString &file, QSize size, qreal devicePixelRatio = 1.0);

// An icon with the outlined picture drawn at the sizes tool bars, menus and lists use.
QIcon SvgIcon(const QString &file);
