// SPDX-License-Identifier: MIT
// The main window's Auto IP on a LAN that behaves like a real one: a
// device configured for another site, holding only its own address, and a
// plain host on the address the choice would try first.
#include <gtest/gtest.h>

#include <QAction>
#include <QTreeWidget>

#include <memory>

#include "devices.h"
#include "gui_helpers.h"
#include "devsim_process.h"
#include "ipconfig_support.h"
#include "netif.h"
#include "netns_lan.h"
#include "test_support.h"
#include "tvp.h"
#include "wire.h"

using namespace iptest;
using testsupport::DeviceList;
using testsupport::DeviceRow;
using testsupport::MarkedNotReachable;

namespace {

TEST(AutoIPOnALan, TheForeignDeviceGetsAFreeAddressOnThePcSubnetAndBecomesReachable)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const int segment = lan.AddSegment();
    const std::string pc = lan.AddPcLink(segment, "10.61.0.1/24");
    ASSERT_FALSE(pc.empty());
    // a plain host holds the address the choice would try first
    tvp::net::ChooseRequest r;
    r.own = 0x0a3d0001;
    r.mask = 0xffffff00;
    r.seed = tvp::net::Fnv1a(pc + " (10.61.0.1)");
    r.taken = {0x0a3d000a, 0xc0a84d14};
    const std::string taken = tvp::wire::FormatDottedQuad(tvp::net::Candidates(r, 0, 1).at(0));
    ASSERT_FALSE(lan.AddHost(segment, taken + "/24").empty());
    auto alpha =
        testsupport::StartLanDevice(lan, segment, {"Alpha One", "02:0A:00:00:00:01", "10.61.0.10/24", ""}, dir.path());
    auto stranger = testsupport::StartLanDevice(
        lan, segment, {"Stranger", "02:0A:00:00:00:03", "192.168.77.20/24", "192.168.77.1"}, dir.path());
    ASSERT_TRUE(alpha && stranger);

    setenv("TVP_INTERFACES", pc.c_str(), 1);
    setenv("TVP_PORT", "30718", 1);
    TVPCleanup();
    EnsureWindows();
    Calls().Clear();
    Calls().forward = true;
    DeviceForm->show(); // its show event scans
    ASSERT_TRUE(WaitIdleFor([] { return DeviceList()->topLevelItemCount() == 2; }, 5000));
    ASSERT_TRUE(WaitIdleFor(
        [] {
            QTreeWidgetItem *row = DeviceRow("Stranger");
            return row && MarkedNotReachable(row);
        },
        3000));
    EXPECT_FALSE(MarkedNotReachable(DeviceRow("Alpha One")));

    DeviceList()->setCurrentItem(DeviceRow("Stranger"));
    auto *autoIP = DeviceForm->findChild<QAction *>(QStringLiteral("AutoSetIP"));
    ASSERT_TRUE(WaitIdleFor([autoIP] { return autoIP->isEnabled(); }));
    autoIP->trigger();
    ASSERT_EQ(Calls().setIP.size(), 1u);
    const std::string chosen = Calls().setIP[0].address;
    EXPECT_EQ(chosen.rfind("10.61.0.", 0), 0u) << chosen;
    EXPECT_NE(chosen, taken) << "the plain host's address was handed out";
    EXPECT_NE(chosen, "10.61.0.10");

    // the command rescans at once: the device answers at its new address
    ASSERT_TRUE(WaitIdleFor(
        [&] {
            QTreeWidgetItem *row = DeviceRow("Stranger");
            return row && row->text(TDeviceForm::ColIPAddress).toStdString() == chosen && !MarkedNotReachable(row);
        },
        5000));
    EXPECT_EQ(DeviceList()->topLevelItemCount(), 2);
    DeviceForm->hide();
    TVPCleanup();
}

} // namespace
