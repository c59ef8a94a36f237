// SPDX-License-Identifier: MIT
// Upgrade, Upgrade... and About from the program's own main window.
#include <gtest/gtest.h>

#include <QAction>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "about.h"
#include "application.h"
#include "devices.h"
#include "gui_helpers.h"
#include "qt_printers.h"
#include "upgrade.h"

namespace {

using testsupport::ModalWatcher;

class UpgradeCommandsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { CreateWindows(); }
    static void TearDownTestSuite() { DestroyWindows(); }

    static QAction *action(const QString &nameOrText)
    {
        for (QAction *a : DeviceForm->findChildren<QAction *>())
            if (a->objectName() == nameOrText || a->text().remove(QLatin1Char('&')) == nameOrText)
                return a;
        ADD_FAILURE() << "no action " << nameOrText.toStdString();
        return nullptr;
    }

    static QTreeWidget *list() { return DeviceForm->findChild<QTreeWidget *>("DeviceList"); }

    // The main window's enabling rules follow the selection at idle.
    static void GoIdle()
    {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }

    // Triggers a command; every modal window it opens is handed to `onOpen`
    // once, which must close it. Returns how many opened.
    static int Run(QAction *command, const std::function<void(QWidget *)> &onOpen)
    {
        if (!command)
            return 0;
        ModalWatcher watcher;
        int opened = 0;
        QWidget *current = nullptr;
        watcher.onDialog = [&](QWidget *w) {
            if (w == current)
                return;
            current = w;
            ++opened;
            onOpen(w);
        };
        GoIdle();
        command->trigger();
        return opened;
    }
};

TEST_F(UpgradeCommandsTest, UpgradeFillsTheSelectedAddressUpgradeAnyClearsItAndTheFileStays)
{
    ASSERT_NE(list(), nullptr);
    auto *row = new QTreeWidgetItem(list());
    row->setText(TDeviceForm::ColName, "Chiller Monitor");
    row->setText(TDeviceForm::ColIPAddress, "10.1.2.3");
    list()->setCurrentItem(row);

    auto *fileName = UpgradeForm->findChild<QLineEdit *>("FileName");
    auto *cancel = UpgradeForm->findChild<QPushButton *>("CancelButton");
    QStringList seen;
    const auto look = [&](QWidget *w) {
        EXPECT_EQ(w, UpgradeForm);
        seen << UpgradeForm->IPAddressText() + "|" + fileName->text();
        if (fileName->text().isEmpty())
            fileName->setText("/tmp/chiller.bin"); // as a user would
        cancel->click();
    };

    EXPECT_EQ(Run(action("DoUpgrade"), look), 1);
    EXPECT_EQ(Run(action("UpgradeAny"), look), 1);
    EXPECT_EQ(Run(action("DoUpgrade"), look), 1);
    EXPECT_EQ(seen, QStringList(
                        {"10 .1  .2  .3  |", "   .   .   .   |/tmp/chiller.bin", "10 .1  .2  .3  |/tmp/chiller.bin"}));

    // Without a selection Upgrade opens nothing; Upgrade... still opens.
    list()->clearSelection();
    list()->setCurrentItem(nullptr);
    DeviceForm->DoUpgradeExecute();
    EXPECT_EQ(Run(action("UpgradeAny"), look), 1);
    EXPECT_EQ(seen.size(), 4);
    delete row;
}

TEST_F(UpgradeCommandsTest, AboutOpensFromTheHelpMenuItemAndTheCommand)
{
    for (const QString command : {"Osmira Inc.", "About"}) {
        int result = -1;
        const int opened = Run(action(command), [&](QWidget *w) {
            EXPECT_EQ(w, AboutForm);
            AboutForm->findChild<QPushButton *>("Button1")->click();
            result = AboutForm->result();
        });
        EXPECT_EQ(opened, 1) << command.toStdString();
        EXPECT_EQ(result, int(QDialog::Accepted));
    }
}

} // namespace
