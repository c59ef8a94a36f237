// SPDX-License-Identifier: MIT
// The pictures drawn by Qt SVG itself.
#include "svgimages.h"

#include <QPainter>
#include <QSvgRenderer>

QPixmap RenderSvg(const QString &file, QSize size, qreal devicePixelRatio)
{
    QSvgRenderer renderer(file);
    if (!renderer.isValid() || size.isEmpty())
        return QPixmap();
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        renderer.render(&painter);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}
