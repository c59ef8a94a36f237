// SPDX-License-Identifier: MIT
// The Scan Addresses dialog: what it takes, what it says about what it
// can't take, and its keys.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "gui_helpers.h"
#include "scanaddresses.h"

namespace {

template <typename T>
T *Child(QWidget *dialog, const char *name)
{
    T *w = dialog->findChild<T *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

TEST(ScanAddressesDialog, EnterScansWhatParsesAndNamesWhatDoesNot)
{
    const struct
    {
        const char *typed;
        const char *focus; // where Enter is pressed
        bool accepted;
        const char *says;   // in the summary
        uint64_t addresses; // when accepted
    } cases[] = {
        {"10.72.0.0/24, 10.72.0.7;10.9.0.1", "Ranges", true, "255 addresses", 255},
        {"10.72.0.0/24", "ScanButton", true, "254 addresses asked directly, in about 1 s", 254},
        {"10.72.0.0/24 10.72.0.300", "Ranges", false, "\"10.72.0.300\" is not an IPv4 address", 0},
        {"10.0.0.0/7", "ScanButton", false, "too many addresses", 0},
        {"   ", "Ranges", false, "Type the addresses to ask", 0},
        {"10.72.0.0/24", "CancelButton", false, "254 addresses", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        TScanAddressesForm dialog;
        bool open = true;
        QString summary;
        QTimer::singleShot(0, &dialog, [&] {
            auto *field = Child<QLineEdit>(&dialog, "Ranges");
            QTest::keyClicks(field, QLatin1String(c.typed));
            QWidget *focus = Child<QWidget>(&dialog, c.focus);
            focus->setFocus(Qt::TabFocusReason);
            QTest::keyClick(focus, Qt::Key_Return);
            summary = Child<QLabel>(&dialog, "Summary")->text();
            open = dialog.isVisible();
            // a refused text stays for mending
            EXPECT_EQ(field->text(), QLatin1String(c.typed));
            if (open)
                dialog.reject();
        });
        const bool accepted = dialog.exec() == QDialog::Accepted;
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(open, !c.accepted && QLatin1String(c.focus) != QLatin1String("CancelButton"));
        EXPECT_TRUE(summary.contains(QLatin1String(c.says))) << summary.toStdString();
        if (accepted) {
            EXPECT_EQ(site::TotalSize(dialog.Targets()), c.addresses);
            EXPECT_EQ(dialog.Rate(), 1000);
        }
    }
}

TEST(ScanAddressesDialog, TheSummaryFollowsTheRate)
{
    TScanAddressesForm dialog;
    Child<QLineEdit>(&dialog, "Ranges")->setText(QStringLiteral("10.1.0.0/16"));
    const struct
    {
        int rate;
        const char *says;
    } cases[] = {
        {1000, "65534 addresses asked directly, in about 66 s"}, {100, "in about 11 min"}, {1, "in about 19 h"}};
    for (const auto &c : cases) {
        Child<QSpinBox>(&dialog, "Rate")->setValue(c.rate);
        EXPECT_TRUE(Child<QLabel>(&dialog, "Summary")->text().contains(QLatin1String(c.says)))
            << Child<QLabel>(&dialog, "Summary")->text().toStdString();
    }
}

} // namespace
