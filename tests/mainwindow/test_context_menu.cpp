// SPDX-License-Identifier: MIT
// The device list's context menu by mouse and keyboard, its Copy, and Tab
// out of the list.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <QWindow>

#include <memory>

#include "devices.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "tvpinterface.h"

using mwtest::DeviceList;
using mwtest::FakeShell;
using mwtest::RunUntilIdle;
using testsupport::WaitFor;

namespace {

class ContextMenu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeShell().Reset();
        form = std::make_unique<TDeviceForm>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        list = DeviceList(*form);
        list->clear();
        reachable = new QTreeWidgetItem(list, {"Gate", "Serial Server", "10.0.0.7", "00-20-4A-00-00-07", "eth0"});
        marked = new QTreeWidgetItem(list, {"Pump", "I/O Box", "169.254.3.9", "00-20-4A-00-00-09", "enp3s0"});
        form->SetImageIndex(marked, TDeviceForm::NotReachableImage);
        menu = form->findChild<QMenu *>(QStringLiteral("DeviceListMenu"));
        ASSERT_NE(menu, nullptr);
    }
    void TearDown() override
    {
        if (menu)
            menu->hide();
    }

    // A right click as the window system delivers it.
    void RightClick(const QPoint &inViewport)
    {
        const QPoint inWindow = list->viewport()->mapTo(form.get(), inViewport);
        QTest::mouseClick(form->windowHandle(), Qt::RightButton, Qt::NoModifier, inWindow);
    }

    QStringList Entries() const
    {
        QStringList texts;
        // the captions as shown: an accelerator's "&" underlines its letter
        for (QAction *a : menu->actions())
            texts << (a->isSeparator() ? QStringLiteral("-")
                                       : a->text().remove(QLatin1Char('&')) + (a->isEnabled() ? "" : " (off)"));
        return texts;
    }

    std::unique_ptr<TDeviceForm> form;
    QTreeWidget *list = nullptr;
    QTreeWidgetItem *reachable = nullptr;
    QTreeWidgetItem *marked = nullptr;
    QMenu *menu = nullptr;
};

TEST_F(ContextMenu, RightClickSelectsTheRowAndOffersItsCommands)
{
    const struct
    {
        bool markedRow;
        int x;
        QStringList entries;
    } cases[] = {
        {false, 10, {"Configure", "Upgrade", "Web", "Telnet", "Auto IP (off)", "-", "Copy"}},
        {true, 200, {"Configure", "Upgrade", "Web", "Telnet", "Auto IP", "-", "Copy"}},
        {false, 450, {"Configure", "Upgrade", "Web", "Telnet", "Auto IP (off)", "-", "Copy"}},
    };
    for (const auto &c : cases) {
        QTreeWidgetItem *row = c.markedRow ? marked : reachable;
        list->clearSelection();
        RunUntilIdle();
        const QRect rect = list->visualItemRect(row);
        RightClick(QPoint(c.x, rect.center().y()));
        ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); })) << c.x;
        EXPECT_EQ(list->selectedItems(), QList<QTreeWidgetItem *>{row}) << c.x;
        EXPECT_EQ(Entries().join(", ").toStdString(), c.entries.join(", ").toStdString()) << c.x;
        // opened where the click was
        EXPECT_LE((menu->geometry().topLeft() - list->viewport()->mapToGlobal(QPoint(c.x, rect.center().y())))
                      .manhattanLength(),
                  4);
        menu->hide();
    }
}

TEST_F(ContextMenu, WithoutASelectionTheRowCommandsAreOff)
{
    list->clearSelection();
    list->setCurrentItem(nullptr);
    QTest::keyClick(list, Qt::Key_Menu);
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
    EXPECT_EQ(Entries().join(", ").toStdString(),
              "Configure (off), Upgrade (off), Web (off), Telnet (off), Auto IP (off), -, Copy (off)");
}

TEST_F(ContextMenu, MenuKeyAndShiftF10OpenItAtTheSelectedRow)
{
    for (const auto &[key, modifiers] :
         {std::pair{Qt::Key_Menu, Qt::NoModifier}, std::pair{Qt::Key_F10, Qt::ShiftModifier}}) {
        list->setCurrentItem(marked);
        list->setFocus();
        QTest::keyClick(list, key, modifiers);
        ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); })) << key;
        const QRect row(list->viewport()->mapToGlobal(list->visualItemRect(marked).topLeft()),
                        list->visualItemRect(marked).size());
        EXPECT_LE(std::abs(menu->geometry().top() - row.bottom()), 2) << key;
        EXPECT_TRUE(Entries().contains("Auto IP")) << key;
        menu->hide();
    }
    // F10 alone is not the menu key
    QTest::keyClick(list, Qt::Key_F10);
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(ContextMenu, CopyPutsTheFiveTextsTabSeparatedOnTheClipboard)
{
    for (QTreeWidgetItem *row : {reachable, marked}) {
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        list->setCurrentItem(row);
        QTest::keyClick(list, Qt::Key_Menu);
        ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
        // the last entry, chosen by keyboard
        QTest::keyClick(menu, Qt::Key_Up);
        QTest::keyClick(menu, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return !menu->isVisible(); }));
        QStringList expected;
        for (int c = 0; c < 5; ++c)
            expected << row->text(c);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expected.join('\t').toStdString());
    }
    // nothing to copy without a row: the clipboard stays as it was
    list->clearSelection();
    QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
    form->CopyRowExecute();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
}

TEST_F(ContextMenu, ACommandChosenFromTheMenuRunsForTheClickedRow)
{
    RightClick(QPoint(20, list->visualItemRect(reachable).center().y()));
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
    for (QAction *a : menu->actions())
        if (a->text().remove(QLatin1Char('&')) == QLatin1String("Telnet"))
            menu->setActiveAction(a);
    QTest::keyClick(menu, Qt::Key_Return);
    EXPECT_EQ(FakeShell().telnet, QStringList{"10.0.0.7"});
}

TEST_F(ContextMenu, TabLeavesTheListForTheWindowsOtherControlsAndComesBack)
{
    form->activateWindow();
    list->setCurrentItem(reachable);
    list->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(WaitFor([&] { return list->hasFocus(); }));
    QTest::keyClick(list, Qt::Key_Tab);
    QWidget *next = QApplication::focusWidget();
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, list);
    EXPECT_NE(qobject_cast<QToolButton *>(next), nullptr) << next->objectName().toStdString();
    // the selection did not move with the key
    EXPECT_EQ(list->currentItem(), reachable);
    QTest::keyClick(next, Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), list);
    // round the window and back to the list
    for (int i = 0; i < 12 && QApplication::focusWidget() != list; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(list, Qt::Key_Tab);
    int steps = 1;
    while (QApplication::focusWidget() != list && steps < 20) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ++steps;
    }
    EXPECT_EQ(QApplication::focusWidget(), list);
    EXPECT_EQ(steps, 8) << "the list and the seven tool-bar buttons";
}

} // namespace
