// SPDX-License-Identifier: MIT
// Tools > Keep Scanning on a LAN of namespaces while it changes: a device is
// added, re-addressed by the program's SetIP, made silent to probes (its
// firmware still answers discovery) and removed. Its row changes in place,
// shows as new, gets the mark, is greyed after three rescans without an
// answer; the row the user selected stays selected throughout. A device
// behind a router stays listed as such.
#include <gtest/gtest.h>

#include <QAction>
#include <QDateTime>
#include <QTreeWidget>

#include <cstdlib>
#include <functional>
#include <memory>

#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "keepscanning.h"
#include "mainwindow_support.h"
#include "netns_lan.h"
#include "ranges.h"
#include "test_support.h"
#include "tvp.h"
#include "tvpinterface.h"

using mwtest::KeepScanningRescan;
using mwtest::MissingTip;
using mwtest::ShownNew;
using testsupport::LanDevice;
using testsupport::MarkedNotReachable;
using namespace std::chrono_literals;

namespace {

TEST(KeepScanningOnALan, ARowFollowsItsDeviceAddedReaddressedSilencedAndRemovedAndTheSelectionStays)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const int segment = lan.AddSegment();
    const std::string pc = lan.AddPcLink(segment, "10.131.0.1/24");
    ASSERT_FALSE(pc.empty());
    ASSERT_FALSE(lan.AddHost(segment, "10.131.0.9/24").empty()) << "a plain host";
    auto keeper =
        testsupport::StartLanDevice(lan, segment, {"Keeper", "02:0D:0F:00:00:01", "10.131.0.10/24", ""}, dir.path());
    auto zulu =
        testsupport::StartLanDevice(lan, segment, {"Zulu", "02:0D:0F:00:00:02", "10.131.0.11/24", ""}, dir.path());
    ASSERT_TRUE(keeper && zulu);
    setenv("TVP_INTERFACES", pc.c_str(), 1);
    setenv("TVP_PORT", "30718", 1);
    TVPCleanup();

    mwtest::FakeShell().Reset();
    auto form = std::make_unique<TDeviceForm>();
    QTreeWidget *list = mwtest::DeviceList(*form);
    auto now = site::WallClock::time_point(
        std::chrono::milliseconds(QDateTime(QDate(2024, 5, 1), QTime(10, 0, 15)).toMSecsSinceEpoch()));
    form->Rescanner->SetClock([&] { return now; });
    const auto rescan = [&] {
        now += 10s;
        return KeepScanningRescan(*form);
    };
    form->ScanExecute();
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return !form->ProtocolInterface->DiscoveryTimer->isActive() && list->topLevelItemCount() == 2; }, 8000));
    QTreeWidgetItem *selected = form->DeviceRow("02:0D:0F:00:00:02");
    list->setCurrentItem(selected);
    form->findChild<QAction *>(QStringLiteral("KeepScanning"))->setChecked(true);
    ASSERT_TRUE(KeepScanningRescan(*form)) << "the first rescan, at once";

    const std::string mac = "02:0D:0F:00:00:05";
    std::unique_ptr<testsupport::DevSim> device;
    bool acknowledged = false;
    form->ProtocolInterface->OnDeviceReply = [&](TTVPInterface *, const TDeviceInfo *) { acknowledged = true; };
    LanDevice silent{"Newcomer", mac, "10.131.0.77/24", ""};
    silent.answersProbes = false;
    const struct
    {
        const char *what;
        std::function<void()> change;
        int rescans;
        const char *ip; // the row's address afterwards
        bool marked, shownNew;
        const char *missingTip;
    } steps[] = {
        {"added",
         [&] {
             device = testsupport::StartLanDevice(lan, segment, {"Newcomer", mac, "10.131.0.20/24", ""}, dir.path());
         },
         1, "10.131.0.20", false, true, ""},
        {"re-addressed",
         [&] {
             uint8_t id[TVP_ID_SIZE] = {};
             MacToID(QString::fromStdString(mac), id);
             form->ProtocolInterface->SetIP(id, "10.131.0.77", "255.255.255.0", "", false);
             ASSERT_TRUE(testsupport::WaitFor([&] { return acknowledged; }));
         },
         1, "10.131.0.77", false, true, ""},
        {"silent to probes",
         [&] {
             device.reset();
             device = testsupport::StartLanDevice(lan, segment, silent, dir.path());
         },
         1, "10.131.0.77", true, true, ""},
        {"removed, two rescans", [&] { device.reset(); }, 2, "10.131.0.77", true, true, ""},
        // last seen at 10:00:55, gone at 10:01:25
        {"removed, the third rescan", [] {}, 1, "10.131.0.77", true, false, "missing since 10:00"},
    };
    QTreeWidgetItem *row = nullptr;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        for (int i = 0; i < step.rescans; ++i)
            ASSERT_TRUE(rescan());
        if (!row)
            row = form->DeviceRow(QString::fromStdString(mac));
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(form->DeviceRow(QString::fromStdString(mac)), row) << "the same row, changed in place";
        EXPECT_EQ(row->text(TDeviceForm::ColIPAddress), step.ip);
        EXPECT_EQ(MarkedNotReachable(row), step.marked);
        EXPECT_EQ(ShownNew(row), step.shownNew);
        EXPECT_EQ(MissingTip(row), step.missingTip);
        EXPECT_EQ(list->topLevelItemCount(), 3);
        EXPECT_EQ(list->selectedItems(), QList<QTreeWidgetItem *>{selected});
        for (const char *other : {"02:0D:0F:00:00:01", "02:0D:0F:00:00:02"}) {
            QTreeWidgetItem *r = form->DeviceRow(other);
            ASSERT_NE(r, nullptr);
            EXPECT_FALSE(ShownNew(r) || MarkedNotReachable(r) || !MissingTip(r).isEmpty()) << other;
        }
    }
    form.reset();
    TVPCleanup();
}

// PC 10.132.0.1 -- 10.132.0.254 router 10.133.0.254 -- a device that no
// broadcast reaches, found by Scan Addresses
TEST(KeepScanningOnALan, ADeviceBehindARouterIsAskedAtItsAddressAndStaysListedAsRouted)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const auto routed = lan.AddRoutedSite("10.132.0", "10.133.0");
    ASSERT_FALSE(routed.pc.empty());
    const std::string &pc = routed.pc;
    ASSERT_FALSE(lan.AddHost(routed.site, "10.133.0.18/24", "10.133.0.254").empty()) << "a plain host in the range";
    auto remote = testsupport::StartLanDevice(
        lan, routed.site, {"Remote Gateway", "02:0D:0F:00:01:01", "10.133.0.20/24", "10.133.0.254"}, dir.path());
    ASSERT_TRUE(remote);
    setenv("TVP_INTERFACES", pc.c_str(), 1);
    setenv("TVP_PORT", "30718", 1);
    TVPCleanup();

    mwtest::FakeShell().Reset();
    auto form = std::make_unique<TDeviceForm>();
    std::string error;
    form->ScanAddresses({*site::ParseTarget("10.133.0.16/28", &error)}, 100);
    QTreeWidgetItem *row = nullptr;
    ASSERT_TRUE(
        testsupport::WaitFor([&] { return (row = form->DeviceRow("02:0D:0F:00:01:01")) && !form->Sweeping(); }, 8000));
    const QString routedText = QStringLiteral("via a router on ") + QString::fromStdString(pc) + " (10.132.0.1)";
    ASSERT_EQ(row->text(TDeviceForm::ColInterface), routedText);

    form->findChild<QAction *>(QStringLiteral("KeepScanning"))->setChecked(true);
    // three rescans without its answer would grey it
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(KeepScanningRescan(*form)) << i;
    EXPECT_EQ(form->DeviceRow("02:0D:0F:00:01:01"), row);
    EXPECT_EQ(MissingTip(row), "");
    EXPECT_TRUE(TDeviceForm::Routed(row));
    EXPECT_EQ(row->text(TDeviceForm::ColInterface), routedText);
    EXPECT_FALSE(MarkedNotReachable(row)) << "probed through the router";
    form.reset();
    TVPCleanup();
}

} // namespace
