// SPDX-License-Identifier: MIT
// The main window from the keyboard: each menu item's accelerator letter
// reaches its command, and the tool bar keeps its captions and shows only
// the hints its buttons have.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QMenu>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>

#include <memory>

#include "devices.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "qt_printers.h"

using mwtest::DeviceList;
using testsupport::WaitFor;

namespace {

class MenuKeys : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mwtest::FakeShell().Reset();
        form = std::make_unique<TDeviceForm>();
        // Which command a key reaches is the question here, not what the
        // command then does: each reports its name instead.
        for (QAction *a : form->findChildren<QAction *>()) {
            QObject::disconnect(a, nullptr, form.get(), nullptr);
            QObject::connect(a, &QAction::triggered, form.get(), [this, a] { ran << a->objectName(); });
        }
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    // The open menu's item that `letter` chooses, as it reads; then the
    // commands that pressing the letter ran. Whatever stays open is left.
    QString PressInMenu(const char *menuName, char letter)
    {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        EXPECT_TRUE(menu && menu->objectName() == QLatin1String(menuName));
        if (!menu)
            return QStringLiteral("no menu");
        QString caption = QStringLiteral("no item");
        for (QAction *a : menu->actions()) {
            const QString text = a->text();
            const qsizetype at = text.indexOf(QLatin1Char('&'));
            if (at >= 0 && text.mid(at + 1, 1).toLower() == QLatin1Char(letter))
                caption = QString(text).remove(QLatin1Char('&'));
        }
        ran.clear();
        QTest::keyClick(menu, letter);
        while (QWidget *popup = QApplication::activePopupWidget())
            QTest::keyClick(popup, Qt::Key_Escape);
        // the menu bar may still wait for a key
        QTest::keyClick(form.get(), Qt::Key_Escape);
        ran.sort(); // an item bound to a command runs both
        return caption + ": " + ran.join(QLatin1Char(','));
    }

    std::unique_ptr<TDeviceForm> form;
    QStringList ran;
};

TEST_F(MenuKeys, EachItemsLetterRunsItsCommand)
{
    QTreeWidget *list = DeviceList(*form);
    list->clear();
    auto *row = new QTreeWidgetItem(list, {"Pump", "I/O Box", "169.254.3.9", "00-20-4A-00-00-09", "lo"});
    // the mark makes Auto IP available
    form->SetImageIndex(row, TDeviceForm::NotReachableImage);
    list->setCurrentItem(row);
    const struct
    {
        Qt::Key menuKey; // with Alt, but the device list's menu key
        const char *menu;
        char letter;
        const char *chosen; // the item as it reads, and the commands run
    } cases[] = {
        {Qt::Key_F, "File1", 's', "Scan: Scan"},
        {Qt::Key_F, "File1", 'u', "Upgrade...: UpgradeAny"},
        {Qt::Key_F, "File1", 'e', "Exit: Exit"},
        // the Edit items stay off: their letters run nothing
        {Qt::Key_E, "Edit1", 'u', "Undo: "},
        {Qt::Key_E, "Edit1", 't', "Cut: "},
        {Qt::Key_E, "Edit1", 'c', "Copy: "},
        {Qt::Key_E, "Edit1", 'p', "Paste: "},
        {Qt::Key_T, "Tools1", 'u', "Upgrade Several Devices...: UpgradeSeveral"},
        {Qt::Key_T, "Tools1", 'a', "Address Plan...: AddressPlan"},
        {Qt::Key_T, "Tools1", 'f', "Find: Find"},
        {Qt::Key_T, "Tools1", 'e', "Export List...: ExportList"},
        {Qt::Key_T, "Tools1", 'k', "Keep Scanning: KeepScanning"},
        {Qt::Key_T, "Tools1", 's', "Scan Addresses...: ScanAddresses"},
        {Qt::Key_T, "Tools1", 'n', "Network Diagnosis...: NetworkDiagnosis"},
        {Qt::Key_T, "Tools1", 'c', "Compare With Saved List...: CompareWithSaved"},
        {Qt::Key_H, "Help1", 'o', "Osmira Inc.: About,About1"},
        {Qt::Key_H, "Help1", 'h', "Homepages: Action1,Homepages1"},
        {Qt::Key_Menu, "DeviceListMenu", 'c', "Configure: SetIPConfig"},
        {Qt::Key_Menu, "DeviceListMenu", 'u', "Upgrade: DoUpgrade"},
        {Qt::Key_Menu, "DeviceListMenu", 'w', "Web: Webserver"},
        {Qt::Key_Menu, "DeviceListMenu", 't', "Telnet: Telnet"},
        {Qt::Key_Menu, "DeviceListMenu", 'a', "Auto IP: AutoSetIP"},
        {Qt::Key_Menu, "DeviceListMenu", 'o', "Copy: CopyRow"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.menu) + " " + c.letter);
        list->setFocus();
        QTest::keyClick(list, c.menuKey, c.menuKey == Qt::Key_Menu ? Qt::NoModifier : Qt::AltModifier);
        ASSERT_TRUE(WaitFor([] { return QApplication::activePopupWidget() != nullptr; }, 2000));
        EXPECT_EQ(PressInMenu(c.menu, c.letter).toStdString(), c.chosen);
    }
}

TEST_F(MenuKeys, ToolButtonsKeepTheirCaptionsAndShowOnlyTheirOwnHints)
{
    // A command that changes state hands its caption and hint to its
    // button again.
    for (QAction *a : form->findChildren<QAction *>()) {
        const bool on = a->isEnabled();
        a->setEnabled(!on);
        a->setEnabled(on);
    }
    auto *status = form->findChild<QStatusBar *>("StatusBar1");
    const struct
    {
        const char *button;
        const char *caption;
        const char *hint;
    } cases[] = {
        {"ToolButton1", "Scan", "Scan for devices"},
        {"ToolButton2", "Configure", "Configure network settings"},
        {"ToolButton3", "Upgrade", ""},
        {"ToolButton4", "Web", "Load the web configuration interface"},
        {"TelnetExcu", "Telnet", "Load the Command-line Configuration Interface"},
        {"ToolButton5", "Auto IP", "Automatically set the IP address of the device"},
        {"ToolButton6", "NetworkPC", "Set the IP address of the PC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.button);
        auto *b = form->findChild<QToolButton *>(c.button);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->text().toStdString(), c.caption);

        QTest::mouseMove(status);
        status->clearMessage();
        QTest::mouseMove(b);
        EXPECT_TRUE(WaitFor([&] { return status->currentMessage() == QLatin1String(c.hint); }, 2000))
            << status->currentMessage().toStdString();

        QToolTip::hideText();
        ASSERT_TRUE(WaitFor([] { return !QToolTip::isVisible(); }, 2000));
        QHelpEvent help(QEvent::ToolTip, QPoint(4, 4), b->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(b, &help);
        EXPECT_EQ((QToolTip::isVisible() ? QToolTip::text() : QString()).toStdString(), c.hint);
    }
}

TEST_F(MenuKeys, ToolsComesAfterEditAndTheOtherMenusKeepTheirItems)
{
    auto captions = [](QWidget *menu) {
        QStringList texts;
        for (const QAction *a : menu->actions())
            texts << QString(a->text()).remove(QLatin1Char('&'));
        return texts;
    };
    const struct
    {
        const char *menu;
        QStringList items;
    } cases[] = {
        {"MainMenu", {"File", "Edit", "Tools", "Help"}},
        {"File1", {"Scan", "", "Upgrade...", "", "Exit"}},
        {"Edit1", {"Undo", "", "Cut", "Copy", "Paste"}},
        {"Help1", {"Osmira Inc.", "Homepages"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.menu);
        auto *menu = form->findChild<QWidget *>(QLatin1String(c.menu));
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(captions(menu), c.items);
    }
}

} // namespace
