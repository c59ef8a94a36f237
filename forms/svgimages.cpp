// SPDX-License-Identifier: MIT
#include "svgimages.h"

#include <QPainter>

QImage WithContrastOutline(const QImage &picture)
{
    QImage image = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width(), h = image.height();
    const auto opaque = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < h && qAlpha(picture.pixel(x, y)) > 128;
    };
    QImage ring(image.size(), QImage::Format_ARGB32_Premultiplied);
    ring.fill(Qt::transparent);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (opaque(x, y))
                continue;
            int sum = 0, count = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (opaque(x + dx, y + dy)) {
                        sum += qGray(picture.pixel(x + dx, y + dy));
                        ++count;
                    }
            if (count == 0)
                continue;
            // dark edges get a light ring, light ones a dark ring; mid
            // tones stand out from both kinds of bar by themselves
            const int grey = sum / count;
            if (grey < 110)
                ring.setPixel(x, y, qPremultiply(qRgba(255, 255, 255, 210)));
            else if (grey > 150)
                ring.setPixel(x, y, qPremultiply(qRgba(24, 24, 24, 210)));
        }
    }
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOver);
    painter.drawImage(0, 0, ring);
    return image;
}

QPixmap OutlinedSvg(const QString &file, QSize size, qreal devicePixelRatio)
{
    const QPixmap plain = RenderSvg(file, size, devicePixelRatio);
    if (plain.isNull())
        return plain;
    QPixmap outlined = QPixmap::fromImage(WithContrastOutline(plain.toImage()));
    outlined.setDevicePixelRatio(devicePixelRatio);
    return outlined;
}

QIcon SvgIcon(const QString &file)
{
    QIcon icon;
    for (const int side : {16, 24, 32, 48}) {
        const QPixmap pixmap = OutlinedSvg(file, QSize(side, side));
        if (pixmap.isNull())
            return QIcon();
        icon.addPixmap(pixmap);
    }
    return icon;
}
