// SPDX-License-Identifier: MIT
// The main window on LANs built as real ones: two devices that hold one
// address, and a site behind a router that no broadcast crosses. Every
// device sits in a namespace of its own holding only its own address.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

#include <memory>
#include <vector>

#include "devicecomm.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "ipconfig.h"
#include "ipconfig_support.h"
#include "netns_lan.h"
#include "qt_printers.h"
#include "scanaddresses.h"
#include "test_support.h"
#include "tvp.h"

using namespace iptest;
using testsupport::DeviceList;
using testsupport::DeviceRow;
using testsupport::MarkedNotReachable;

namespace {

QAction *Command(const char *name)
{
    return DeviceForm->findChild<QAction *>(QLatin1String(name));
}

bool Enabled(const char *command, const QString &row)
{
    DeviceList()->setCurrentItem(DeviceRow(row));
    // the rule the program applies when it next goes idle
    DeviceForm->ActionList1Update();
    return Command(command)->isEnabled();
}

// The windows, talking to the LAN through the PC's link alone.
void StartProgram(const std::string &pcLink)
{
    setenv("TVP_INTERFACES", pcLink.c_str(), 1);
    setenv("TVP_PORT", "30718", 1);
    TVPCleanup();
    EnsureWindows();
    Calls().Clear();
    Calls().forward = true;
    DeviceForm->show(); // its show event scans
}

QImage Picture(const QIcon &icon)
{
    return icon.pixmap(16, 16).toImage();
}

TEST(SharedAddressOnALan, BothRowsAreMarkedNeitherReachableEachNamingTheOther)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const int segment = lan.AddSegment();
    const std::string pc = lan.AddPcLink(segment, "10.64.0.1/24");
    ASSERT_FALSE(pc.empty());
    const struct
    {
        testsupport::LanDevice device;
        QString sharedWith; // empty: the address is its own
    } rows[] = {
        {{"Press Left", "02:0B:00:00:00:01", "10.64.0.10/24", ""}, "02:0B:00:00:00:02"},
        {{"Press Right", "02:0B:00:00:00:02", "10.64.0.10/24", ""}, "02:0B:00:00:00:01"},
        {{"Conveyor", "02:0B:00:00:00:03", "10.64.0.11/24", ""}, ""},
    };
    std::vector<std::unique_ptr<testsupport::DevSim>> sims;
    for (const auto &r : rows) {
        sims.push_back(testsupport::StartLanDevice(lan, segment, r.device, dir.path()));
        ASSERT_TRUE(sims.back()) << r.device.name;
    }
    StartProgram(pc);
    ASSERT_TRUE(WaitIdleFor([] { return DeviceList()->topLevelItemCount() == 3; }, 5000));
    // the legend waits for the progress bar to go
    auto *legend = DeviceForm->findChild<QLabel *>(QStringLiteral("SharedLabel"));
    ASSERT_TRUE(WaitIdleFor([legend] { return legend->isVisible(); }, 4000));

    const QImage notReachable = Picture(DeviceForm->ImageList[TDeviceForm::NotReachableImage]);
    for (const auto &r : rows) {
        const QString name = QString::fromStdString(r.device.name);
        SCOPED_TRACE(r.device.name);
        QTreeWidgetItem *row = DeviceRow(name);
        ASSERT_NE(row, nullptr);
        const bool shared = !r.sharedWith.isEmpty();
        EXPECT_EQ(TDeviceForm::SharedWith(row), shared ? QStringList{r.sharedWith} : QStringList{});
        // the other one answers the probe there: that proves nothing for this one
        EXPECT_EQ(MarkedNotReachable(row), shared);
        EXPECT_EQ(row->toolTip(TDeviceForm::ColName).contains(r.sharedWith), true);
        EXPECT_EQ(row->toolTip(TDeviceForm::ColName).isEmpty(), !shared);
        if (shared) {
            EXPECT_NE(Picture(row->icon(TDeviceForm::ColName)), notReachable);
        }
        EXPECT_EQ(Enabled("AutoSetIP", name), shared);
    }
    DeviceForm->hide();
    TVPCleanup();
}

// PC 10.71.0.1 -- 10.71.0.254 router 10.72.0.254 -- the site
class RoutedSite : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        const auto routed = lan.AddRoutedSite("10.71.0", "10.72.0");
        ASSERT_FALSE(routed.pc.empty());
        const int office = routed.office, site = routed.site;
        pc = routed.pc;
        office_ = testsupport::StartLanDevice(lan, office, {"Office Unit", "02:0C:00:00:00:01", "10.71.0.10/24", ""},
                                              dir.path());
        remote = testsupport::StartLanDevice(
            lan, site, {"Remote Gateway", "02:0C:00:00:00:02", "10.72.0.20/24", "10.72.0.254"}, dir.path());
        ASSERT_TRUE(office_ && remote);
    }

    // Tools > Scan Addresses, typed and confirmed with Enter.
    static void ScanAddresses(const QString &ranges)
    {
        Script script;
        script.When(
            [] {
                return DeviceForm->findChild<TScanAddressesForm *>() &&
                       OnScreen(DeviceForm->findChild<TScanAddressesForm *>());
            },
            [ranges] {
                auto *field =
                    DeviceForm->findChild<TScanAddressesForm *>()->findChild<QLineEdit *>(QStringLiteral("Ranges"));
                field->clear();
                QTest::keyClicks(field, ranges);
                QTest::keyClick(field, Qt::Key_Return);
            });
        Command("ScanAddresses")->trigger();
        EXPECT_TRUE(script.Finished());
    }

    static bool ListedAt(const QString &name, const QString &address)
    {
        QTreeWidgetItem *row = DeviceRow(name);
        return row && row->text(TDeviceForm::ColIPAddress) == address;
    }

    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    std::string pc;
    std::unique_ptr<testsupport::DevSim> office_, remote;
    testsupport::ModalWatcher watcher;
};

TEST_F(RoutedSite, FoundByAddressReadAndReAddressedByUnicastAndRefusedAutoIP)
{
    StartProgram(pc);
    ASSERT_TRUE(WaitIdleFor([] { return DeviceRow("Office Unit") != nullptr; }, 5000));
    ScanAddresses(QStringLiteral("10.71.0.10, 10.72.0.0/24"));
    ASSERT_TRUE(WaitIdleFor([] { return ListedAt("Remote Gateway", "10.72.0.20"); }, 8000));
    const QString link = QString::fromStdString(pc) + QStringLiteral(" (10.71.0.1)");
    const struct
    {
        const char *name;
        bool routed;
    } rows[] = {{"Office Unit", false}, {"Remote Gateway", true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        QTreeWidgetItem *row = DeviceRow(QLatin1String(r.name));
        EXPECT_EQ(TDeviceForm::Routed(row), r.routed);
        EXPECT_EQ(row->text(TDeviceForm::ColInterface), r.routed ? QStringLiteral("via a router on ") + link : link);
        EXPECT_FALSE(MarkedNotReachable(row)) << "probed through the routes";
    }

    // Auto IP chooses on the PC's own link: refused, in words, sending nothing
    ASSERT_TRUE(Enabled("AutoSetIP", QStringLiteral("Remote Gateway")));
    Command("AutoSetIP")->trigger();
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_TRUE(watcher.boxes[0].text.contains(QLatin1String("only on the PC's own link")))
        << watcher.boxes[0].text.toStdString();
    EXPECT_TRUE(Calls().chooseIPAddress.empty());

    // Configure reads it and writes it by unicast: no broadcast reaches it
    QString shown;
    Script script;
    script.When([] { return OnScreen(IPConfigForm) && !DeviceCommForm->isVisible(); },
                [&] {
                    auto *address = IPConfigForm->findChild<QLineEdit *>(QStringLiteral("IPAddress"));
                    shown = StripBlanks(address->displayText());
                    address->clear();
                    address->setCursorPosition(0);
                    QTest::keyClicks(address, QStringLiteral("10.72.0.120"));
                    QTest::keyClick(address, Qt::Key_Return);
                });
    ASSERT_TRUE(Enabled("SetIPConfig", QStringLiteral("Remote Gateway")));
    Command("SetIPConfig")->trigger();
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(shown, QStringLiteral("10.72.0.20"));
    EXPECT_TRUE(Calls().getIP.empty() && Calls().setIP.empty()) << "asked by broadcast";
    EXPECT_TRUE(remote->WaitForLine("for Remote Gateway: now 10.72.0.120/24"));
    // the rescan asks where it went
    EXPECT_TRUE(WaitIdleFor([] { return ListedAt("Remote Gateway", "10.72.0.120"); }, 8000));
    EXPECT_TRUE(TDeviceForm::Routed(DeviceRow("Remote Gateway")));
    EXPECT_FALSE(MarkedNotReachable(DeviceRow("Remote Gateway")));
    EXPECT_EQ(watcher.boxes.size(), 1u) << "only Auto IP's";
    DeviceForm->hide();
    TVPCleanup();
}

} // namespace
