// SPDX-License-Identifier: MIT
// The program's pictures without the toolkit's SVG plugins, and their
// outlines on light and dark tool bars.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <memory>

#include "about.h"
#include "devices.h"
#include "mainwindow_support.h"

using mwtest::DeviceList;

namespace {

// The share of a picture's edge pixels (opaque, beside a transparent one)
// that stand out from the background by at least `minContrast` in grey,
// themselves or by an opaque neighbour (an outline of two tones).
double EdgeContrast(const QImage &picture, QColor background, int minContrast = 60)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    QImage over(image.size(), QImage::Format_ARGB32);
    over.fill(background);
    {
        QPainter p(&over);
        p.drawImage(0, 0, image);
    }
    const auto opaque = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < image.width() && y < image.height() && qAlpha(image.pixel(x, y)) > 128;
    };
    int edge = 0, standing = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!opaque(x, y))
                continue;
            if (opaque(x - 1, y) && opaque(x + 1, y) && opaque(x, y - 1) && opaque(x, y + 1))
                continue;
            ++edge;
            bool stands = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    stands = stands || (opaque(x + dx, y + dy) && std::abs(qGray(over.pixel(x + dx, y + dy)) -
                                                                           qGray(background.rgb())) >= minContrast);
            standing += stands;
        }
    }
    return edge ? double(standing) / edge : 0.0;
}

// Runs first in this program: no image plugin has been asked for yet.
TEST(Images, ShowWithoutTheToolkitsSvgPlugins)
{
    QTemporaryDir nothing;
    ASSERT_TRUE(nothing.isValid());
    QCoreApplication::setLibraryPaths({nothing.path()});
    if (QImageReader::supportedImageFormats().contains("svg"))
        GTEST_SKIP() << "the SVG image plugin was loaded before the test could hide it";
    ASSERT_TRUE(QImage(QStringLiteral(":/devices/4-not-reachable.svg")).isNull())
        << "without plugins the file cannot be read as an image";

    auto form = std::make_unique<TDeviceForm>();
    ASSERT_EQ(form->ImageList.size(), TDeviceForm::ImageCount);
    for (int i = 0; i < TDeviceForm::ImageCount; ++i)
        EXPECT_FALSE(form->ImageList[i].pixmap(16, 16).isNull()) << i;

    // The mark on a row: yellow, as the warning diamond is.
    auto *row = new QTreeWidgetItem(DeviceList(*form), {"Pump", "T", "169.254.1.1", "id", "lo"});
    form->SetImageIndex(row, TDeviceForm::NotReachableImage);
    const QImage mark = row->icon(0).pixmap(16, 16).toImage();
    ASSERT_FALSE(mark.isNull());
    int yellow = 0;
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x) {
            const QColor c = mark.pixelColor(x, y);
            yellow += c.alpha() > 200 && c.red() > 180 && c.green() > 140 && c.blue() < 100;
        }
    EXPECT_GT(yellow, 20);

    const auto *legend = form->findChild<QLabel *>(QStringLiteral("ProblemImage"));
    ASSERT_NE(legend, nullptr);
    EXPECT_FALSE(legend->pixmap().isNull());
    for (const char *command : {"Scan", "SetIPConfig", "DoUpgrade", "Webserver", "AutoSetIP", "Telnet", "Network"})
        EXPECT_FALSE(form->findChild<QAction *>(QLatin1String(command))->icon().isNull()) << command;

    TAboutForm about;
    const auto *emblem = about.findChild<QLabel *>(QStringLiteral("BackgroundImage"));
    ASSERT_NE(emblem, nullptr);
    EXPECT_EQ(emblem->pixmap().deviceIndependentSize().toSize(), QSize(59, 30));
}

TEST(Images, OutlinesHoldOnLightAndDarkToolBars)
{
    TDeviceForm form;
    for (int i = 0; i < TDeviceForm::ImageCount; ++i) {
        const QImage image = form.ImageList[i].pixmap(16, 16).toImage();
        for (const QColor background : {QColor(0xf0, 0xf0, 0xf0), QColor(0x2a, 0x2a, 0x2e)}) {
            EXPECT_GE(EdgeContrast(image, background), 0.9)
                << "image " << i << " on " << background.name().toStdString();
        }
    }
}

} // namespace
