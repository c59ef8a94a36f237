// SPDX-License-Identifier: MIT
// The pictures where Qt SVG is missing: the build rendered each SVG file to
// PNG at the sizes the windows use (forms/CMakeLists.txt), so
// ":/devices/0-scan.svg" at 16 x 16 pixels is
// ":/rendered/devices/0-scan-16x16.png".
#include "svgimages.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// The resource folder and base name of a picture's renderings; empty when
// the file is no SVG file in the resources.
bool RenderedBase(const QString &file, QString *folder, QString *base)
{
    if (!file.startsWith(QLatin1String(":/")) || !file.endsWith(QLatin1String(".svg")))
        return false;
    const QFileInfo info(file.mid(2));
    *folder = QStringLiteral(":/rendered/") + info.path();
    *base = info.completeBaseName();
    return true;
}

// A size the build did not render: the smallest larger rendering scaled
// down, or the largest scaled up.
QImage NearestRendering(const QString &folder, const QString &base, QSize pixels)
{
    const QRegularExpression name(QStringLiteral("^%1-(\\d+)x(\\d+)\\.png$").arg(QRegularExpression::escape(base)));
    QString best;
    qint64 bestWidth = 0;
    for (const QString &entry : QDir(folder).entryList(QDir::Files)) {
        const QRegularExpressionMatch m = name.match(entry);
        if (!m.hasMatch())
            continue;
        const qint64 width = m.captured(1).toLongLong();
        const bool larger = width >= pixels.width();
        const bool bestLarger = bestWidth >= pixels.width();
        if (best.isEmpty() || (larger && (!bestLarger || width < bestWidth)) ||
            (!larger && !bestLarger && width > bestWidth)) {
            best = entry;
            bestWidth = width;
        }
    }
    if (best.isEmpty())
        return QImage();
    return QImage(folder + QLatin1Char('/') + best).scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

QPixmap RenderSvg(const QString &file, QSize size, qreal devicePixelRatio)
{
    QString folder, base;
    if (size.isEmpty() || !RenderedBase(file, &folder, &base))
        return QPixmap();
    const QSize pixels = size * devicePixelRatio;
    QImage image(QStringLiteral("%1/%2-%3x%4.png").arg(folder, base).arg(pixels.width()).arg(pixels.height()));
    if (image.isNull())
        image = NearestRendering(folder, base, pixels);
    if (image.isNull())
        return QPixmap();
    QPixmap pixmap = QPixmap::fromImage(image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}
