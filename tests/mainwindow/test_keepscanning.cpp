// SPDX-License-Identifier: MIT
// Tools > Keep Scanning without devices on the wire: answers handed to the
// protocol interface object while a rescan collects them, the time from the
// test. (The LAN's side: test_keepscanning_netns.)
#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "devices.h"
#include "gui_helpers.h"
#include "keepscanning.h"
#include "mainwindow_support.h"
#include "tvpinterface.h"

using mwtest::Device;
using mwtest::DeviceList;
using mwtest::KeepScanningRescan;
using mwtest::ShownNew;
using namespace std::chrono_literals;

namespace {

// Discover requests the library has sent on every interface.
long DiscoversSent()
{
    std::vector<TVPInterfaceReport> reports(64);
    const int n = TVPGetDiagnostics(reports.data(), reports.size(), 0);
    long sent = 0;
    for (int i = 0; i < n && i < int(reports.size()); ++i)
        sent += reports[size_t(i)].DiscoversSent;
    return sent;
}

class KeepScanningTest : public ::testing::Test
{
protected:
    void SetUp() override { Fresh(); }

    void Fresh()
    {
        mwtest::FakeShell().Reset();
        form.reset();
        form = std::make_unique<TDeviceForm>();
        form->Rescanner->SetClock([this] { return now; });
        list = DeviceList(*form);
    }

    // Listed as a finished scan leaves them: nothing answers probes here.
    void List(const std::vector<TDeviceInfo> &devices)
    {
        for (const TDeviceInfo &d : devices) {
            QTreeWidgetItem *row = form->InsertDeviceRow(d);
            form->SetReachable(row, false);
            form->NoteSharedAddress(row);
        }
    }

    // Keep Scanning checked, and its first rescan with these answers.
    bool Check(const std::vector<TDeviceInfo> &answers)
    {
        form->findChild<QAction *>(QStringLiteral("KeepScanning"))->setChecked(true);
        return Rescan(answers);
    }

    // A rescan ten seconds after the last, with these answers.
    bool Rescan(const std::vector<TDeviceInfo> &answers)
    {
        now += 10s;
        return KeepScanningRescan(*form, [&] {
            for (const TDeviceInfo &a : answers)
                form->ProtocolInterface->DispatchEvent(TVPEventDeviceFound, a);
        });
    }

    QTreeWidgetItem *Row(const char *id) { return form->DeviceRow(QLatin1String(id)); }

    site::WallClock::time_point now = site::WallClock::now();
    std::unique_ptr<TDeviceForm> form;
    QTreeWidget *list = nullptr;
    const TDeviceInfo alpha = Device("Alpha", "02:00:00:00:00:01", "127.0.0.21");
    const TDeviceInfo bravo = Device("Bravo", "02:00:00:00:00:02", "127.0.0.22");
};

TEST_F(KeepScanningTest, ANewRowIsBoldUntilTheUsersNextKeyOrClickOrForAMinute)
{
    const struct
    {
        const char *after;
        std::function<void()> act;
        bool stillNew;
    } cases[] = {
        {"a key in the list", [this] { QTest::keyClick(list, Qt::Key_Down); }, false},
        {"a click in the list",
         [this] {
             QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, {4, 4});
         },
         false},
        {"50 s",
         [this] {
             now += 40s;
             ASSERT_TRUE(Rescan({alpha, bravo}));
         },
         true},
        {"60 s",
         [this] {
             now += 50s;
             ASSERT_TRUE(Rescan({alpha, bravo}));
         },
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.after);
        Fresh();
        List({alpha});
        ASSERT_TRUE(Check({alpha}));
        EXPECT_FALSE(ShownNew(Row("02:00:00:00:00:01"))) << "listed before: not new";
        ASSERT_TRUE(Rescan({alpha, bravo}));
        QTreeWidgetItem *row = Row("02:00:00:00:00:02");
        ASSERT_NE(row, nullptr);
        EXPECT_TRUE(ShownNew(row));
        EXPECT_EQ(row->text(TDeviceForm::ColName), "Bravo");
        EXPECT_TRUE(testsupport::MarkedNotReachable(row));
        EXPECT_FALSE(ShownNew(Row("02:00:00:00:00:01")));
        c.act();
        EXPECT_EQ(ShownNew(row), c.stillNew);
    }
}

TEST_F(KeepScanningTest, NothingIsSentOrShownWhileADialogIsOpen)
{
    List({alpha});
    ASSERT_TRUE(Check({alpha}));
    QDialog dialog(form.get());
    dialog.setWindowModality(Qt::ApplicationModal);

    // open at the beat: no rescan starts, nothing goes out
    dialog.show();
    const long before = DiscoversSent();
    EXPECT_FALSE(form->Rescanner->Rescan());
    EXPECT_FALSE(form->Rescanner->Collecting());
    EXPECT_EQ(DiscoversSent(), before);
    dialog.hide();

    // opened during a rescan: it stops sending and shows nothing
    now += 10s;
    const long started = DiscoversSent();
    EXPECT_FALSE(KeepScanningRescan(*form, [&] {
        form->ProtocolInterface->DispatchEvent(TVPEventDeviceFound, bravo);
        dialog.show();
    }));
    EXPECT_EQ(DiscoversSent(), started + 1) << "one broadcast before the dialog opened";
    EXPECT_EQ(Row("02:00:00:00:00:02"), nullptr);
    EXPECT_EQ(list->topLevelItemCount(), 1);
    dialog.hide();

    // closed again: the next rescan shows what it finds, with all five broadcasts
    ASSERT_TRUE(Rescan({alpha, bravo}));
    EXPECT_EQ(DiscoversSent(), started + 1 + TKeepScanning::Broadcasts);
    ASSERT_NE(Row("02:00:00:00:00:02"), nullptr);
    EXPECT_TRUE(ShownNew(Row("02:00:00:00:00:02")));
}

TEST_F(KeepScanningTest, ScanStillClearsAndRefillsAndUncheckingStops)
{
    List({alpha, bravo});
    list->setCurrentItem(Row("02:00:00:00:00:02"));
    ASSERT_TRUE(Check({alpha, bravo}));
    const TDeviceInfo charlie = Device("Charlie", "02:00:00:00:00:03", "127.0.0.23");
    // Scan during a rescan: the rescan is dropped, the scan does what it always did
    EXPECT_FALSE(KeepScanningRescan(*form, [&] {
        form->ScanExecute();
        form->ProtocolInterface->DispatchEvent(TVPEventDeviceFound, charlie);
    }));
    EXPECT_EQ(mwtest::Column(*form, TDeviceForm::ColName), QStringList{"Charlie"});
    EXPECT_EQ(list->currentItem(), Row("02:00:00:00:00:03")) << "the first answer takes the selection";
    EXPECT_FALSE(ShownNew(Row("02:00:00:00:00:03")));
    ASSERT_TRUE(testsupport::WaitFor([&] { return !form->ProtocolInterface->DiscoveryTimer->isActive(); }));

    // the rescan after it starts from the list the scan left; Bravo, selected
    // when the scan began, comes back without taking the selection
    ASSERT_TRUE(Rescan({charlie, alpha, bravo}));
    EXPECT_FALSE(ShownNew(Row("02:00:00:00:00:03")));
    EXPECT_TRUE(ShownNew(Row("02:00:00:00:00:01")));
    EXPECT_EQ(list->selectedItems(), QList<QTreeWidgetItem *>{Row("02:00:00:00:00:03")});

    form->findChild<QAction *>(QStringLiteral("KeepScanning"))->setChecked(false);
    EXPECT_FALSE(form->Rescanner->IsRunning());
    EXPECT_FALSE(ShownNew(Row("02:00:00:00:00:01")));
    const long stopped = DiscoversSent();
    EXPECT_FALSE(form->Rescanner->Rescan());
    EXPECT_EQ(DiscoversSent(), stopped);
}

// A device that turns up at a listed device's address, or moves onto one,
// marks both rows; the address it left no longer counts against it.
TEST_F(KeepScanningTest, ANewcomerAtAListedAddressMarksBothRows)
{
    const TDeviceInfo atFive = Device("Alpha", "02:00:00:00:00:01", "127.0.0.5");
    const TDeviceInfo bravoAtFive = Device("Bravo", "02:00:00:00:00:02", "127.0.0.5");
    const TDeviceInfo bravoAtSix = Device("Bravo", "02:00:00:00:00:02", "127.0.0.6");
    const TDeviceInfo charlieAtFive = Device("Charlie", "02:00:00:00:00:03", "127.0.0.5");
    const TDeviceInfo deltaAtSeven = Device("Delta", "02:00:00:00:00:04", "127.0.0.7");
    const TDeviceInfo deltaAtSix = Device("Delta", "02:00:00:00:00:04", "127.0.0.6");
    List({atFive, deltaAtSeven});
    ASSERT_TRUE(Check({atFive, deltaAtSeven}));
    ASSERT_TRUE(Rescan({atFive, bravoAtFive, deltaAtSeven}));
    EXPECT_EQ(TDeviceForm::SharedWith(Row("02:00:00:00:00:01")), QStringList{"02:00:00:00:00:02"});
    EXPECT_EQ(TDeviceForm::SharedWith(Row("02:00:00:00:00:02")), QStringList{"02:00:00:00:00:01"});
    EXPECT_TRUE(testsupport::MarkedNotReachable(Row("02:00:00:00:00:02")));

    ASSERT_TRUE(Rescan({atFive, bravoAtSix, charlieAtFive, deltaAtSix}));
    EXPECT_EQ(TDeviceForm::SharedWith(Row("02:00:00:00:00:03")), QStringList{"02:00:00:00:00:01"})
        << "Bravo left 127.0.0.5";
    EXPECT_EQ(TDeviceForm::SharedWith(Row("02:00:00:00:00:04")), QStringList{"02:00:00:00:00:02"})
        << "Delta moved onto Bravo's new address";
}

TEST_F(KeepScanningTest, TheViewTheSelectionAndTheUsersNamesStay)
{
    form->show(); // its show event scans: let that end first
    ASSERT_TRUE(testsupport::WaitFor([&] { return !form->ProtocolInterface->DiscoveryTimer->isActive(); }));
    std::vector<TDeviceInfo> devices;
    for (int i = 10; i < 50; ++i)
        devices.push_back(Device(QStringLiteral("Device %1").arg(i), QStringLiteral("02:00:00:00:01:%1").arg(i)));
    List(devices);
    // the user renames one in place, selects one and scrolls to another
    Row("02:00:00:00:01:31")->setText(TDeviceForm::ColName, "My pump");
    list->setCurrentItem(Row("02:00:00:00:01:40"));
    list->scrollToItem(Row("02:00:00:00:01:30"), QAbstractItemView::PositionAtTop);
    ASSERT_GT(list->verticalScrollBar()->value(), 0);
    ASSERT_EQ(list->itemAt(0, 0), Row("02:00:00:00:01:30"));
    ASSERT_TRUE(Check(devices));

    // a device sorted in above the view; two devices report new names
    devices.push_back(Device("AAA Newcomer", "02:00:00:00:02:01"));
    devices[21].Name = "Device 31x";
    devices[22].Name = "Device 32x";
    ASSERT_TRUE(Rescan(devices));
    EXPECT_EQ(list->topLevelItem(0), Row("02:00:00:00:02:01"));
    EXPECT_EQ(list->itemAt(0, 0), Row("02:00:00:00:01:30")) << "the view moved";
    EXPECT_EQ(list->selectedItems(), QList<QTreeWidgetItem *>{Row("02:00:00:00:01:40")});
    EXPECT_EQ(Row("02:00:00:00:01:31")->text(TDeviceForm::ColName), "My pump");
    EXPECT_EQ(Row("02:00:00:00:01:32")->text(TDeviceForm::ColName), "Device 32x");
    EXPECT_EQ(list->topLevelItemCount(), 41);
}

} // namespace
