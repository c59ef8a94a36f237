// SPDX-License-Identifier: MIT
// The dotted-quad fields of both dialogs under real clicks and typing: the
// blank template is narrower than the field, and nothing typed after a
// click may be lost.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include <memory>

#include "addressedit.h"
#include "ipconfig.h"
#include "upgrade.h"

namespace {

QString Stripped(const QLineEdit *field)
{
    return field->displayText().remove(QLatin1Char(' '));
}

// An x inside the field where a click lands at this caret position, found
// through the field's own layout of its text; -1 when none.
int XForPosition(QLineEdit *field, int position)
{
    for (int x = 0; x < field->width(); ++x) {
        if (field->cursorPositionAt(QPoint(x, field->height() / 2)) == position)
            return x;
    }
    return -1;
}

class AddressField : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dialog = std::make_unique<TUpgradeForm>();
        field = dialog->findChild<QLineEdit *>(QStringLiteral("IPAddress"));
        ASSERT_NE(field, nullptr);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    void Click(int x) { QTest::mouseClick(field, Qt::LeftButton, Qt::NoModifier, QPoint(x, field->height() / 2)); }

    std::unique_ptr<TUpgradeForm> dialog;
    QLineEdit *field = nullptr;
};

TEST_F(AddressField, AClickPutsTheCaretAtAGroupStartAndNothingTypedIsLost)
{
    // where the template ends, a click is past the text
    const int pastText = XForPosition(field, 15);
    ASSERT_GT(pastText, 0);
    ASSERT_LT(pastText, field->width() * 3 / 4) << "the template fills the field: nothing to test";

    const struct
    {
        const char *before; // as placed into the field
        int x;              // < 0: the x of caret position -x
        int caret;
        const char *typed;
        const char *after;
    } cases[] = {
        {"", field->width() - 4, 0, "10", "10..."},
        {"", pastText + 2, 0, "192.168.1.5", "192.168.1.5"},
        {"", field->width() / 2, 0, "10.0.0.1", "10.0.0.1"},
        {"10.0", field->width() - 4, 8, "5", "10.0.5."},
        {"10", field->width() - 4, 4, "1.2.3", "10.1.2.3"},
        {"1.2.3.4", field->width() - 4, 12, "9", "1.2.3.9"},
        {"1.2.3.4", -1, 0, "7", "7.2.3.4"},
        {"1.2.3.4", -5, 4, "8", "1.8.3.4"},
        {"1.2.3.4", -7, 4, "8", "1.8.3.4"},
        {"1.2.3.4", -10, 8, "6", "1.2.6.4"},
        {"1.2.3.4", -13, 12, "5", "1.2.3.5"},
        {"", -9, 8, "3", "..3."}, // an empty group that was clicked
    };
    for (const auto &c : cases) {
        field->setText(QString::fromLatin1(c.before));
        field->setCursorPosition(15); // where a careless click used to leave it
        const int x = c.x >= 0 ? c.x : XForPosition(field, -c.x);
        ASSERT_GE(x, 0) << c.before;
        Click(x);
        EXPECT_EQ(field->cursorPosition(), c.caret) << c.before << " at x " << x;
        QTest::keyClicks(field, QString::fromLatin1(c.typed));
        EXPECT_EQ(Stripped(field), QString::fromLatin1(c.after)) << c.before << " typed " << c.typed;
    }
}

TEST_F(AddressField, ADotMovesToTheNextGroupOnlyFromInsideAGroup)
{
    const struct
    {
        const char *typed;
        const char *after;
    } cases[] = {
        {"1.2.3.4", "1.2.3.4"},
        {"255.255.255.0", "255.255.255.0"}, // a full group moved on by itself
        {"1..2", "1.2.."},                  // a dot right after a dot changes nothing
        {"1.2.3.4.5", "1.2.3.45"},          // no group after the last
    };
    for (const auto &c : cases) {
        field->clear();
        Click(field->width() - 4);
        QTest::keyClicks(field, QString::fromLatin1(c.typed));
        EXPECT_EQ(Stripped(field), QString::fromLatin1(c.after)) << c.typed;
    }
}

TEST_F(AddressField, ShiftClickAndDragStillSelect)
{
    field->setText(QStringLiteral("10.20.30.40"));
    Click(XForPosition(field, 1));
    QTest::mouseClick(field, Qt::LeftButton, Qt::ShiftModifier, QPoint(XForPosition(field, 10), field->height() / 2));
    EXPECT_TRUE(field->hasSelectedText());
}

TEST(AddressFields, EveryAddressFieldOfTheIPDialogPlacesTheCaret)
{
    TIPConfigForm dialog;
    for (const char *name : {"IPAddress", "SubnetMask", "DefaultGateway"}) {
        auto *field = dialog.findChild<QLineEdit *>(QLatin1String(name));
        ASSERT_NE(field, nullptr) << name;
        EXPECT_NE(qobject_cast<TAddressEdit *>(field), nullptr) << name;
        EXPECT_EQ(field->displayText(), "   .   .   .   ") << name;
        field->setText(QStringLiteral("10.1"));
        EXPECT_EQ(static_cast<TAddressEdit *>(field)->CaretForClick(QPoint(field->width() - 2, 5)), 8) << name;
    }
}

} // namespace
