// SPDX-License-Identifier: MIT
// Configure and Auto IP from the main window against tvp-devsim on loopback
// (inside the private network namespace of the test command).
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include <memory>

#include "devicecomm.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "ipconfig.h"
#include "ipconfig_support.h"
#include "test_support.h"
#include "tvpinterface.h"

using namespace iptest;
using testsupport::DeviceList;
using testsupport::DeviceRow;
using testsupport::MarkedNotReachable;
using testsupport::WaitFor;

namespace {

void Select(const QString &name)
{
    QTreeWidgetItem *row = DeviceRow(name);
    ASSERT_NE(row, nullptr) << name.toStdString();
    DeviceList()->setCurrentItem(row);
}

// Runs a main-window command as the user would, through its action.
void RunCommand(const char *action, void (TDeviceForm::*slot)())
{
    if (auto *a = DeviceForm->findChild<QAction *>(QLatin1String(action))) {
        // the enabling rules follow the selection at the next idle moment
        EXPECT_TRUE(WaitIdleFor([a] { return a->isEnabled(); })) << action;
        a->trigger();
    } else {
        (DeviceForm->*slot)();
    }
}

QLineEdit *Field(const char *name)
{
    return IPConfigForm->findChild<QLineEdit *>(QLatin1String(name));
}
QString Shown(const char *name)
{
    return Field(name)->displayText();
}
bool Checked(const char *name)
{
    return IPConfigForm->findChild<QRadioButton *>(QLatin1String(name))->isChecked();
}
bool DialogUp()
{
    return OnScreen(IPConfigForm) && !DeviceCommForm->isVisible();
}

constexpr int SampleDevices = 8;

class IPCommands : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!testsupport::InPrivateNetns())
            return;
        sim = std::make_unique<testsupport::DevSim>();
        ASSERT_TRUE(sim->Start());
        // before the windows: the library reads its environment on start
        sim->UseFromThisProcess();
        EnsureWindows();
        DeviceForm->show();
    }
    static void TearDownTestSuite() { sim.reset(); }

    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        ASSERT_TRUE(sim);
        Calls().Clear();
        Calls().forward = true;
        ASSERT_TRUE(ScanDone());
    }

    // A scan has listed the whole sample LAN and probed every row.
    static bool ScanDone()
    {
        const auto silentMarked = [] {
            QTreeWidgetItem *row = DeviceRow("Dock Door Sensor");
            return row && MarkedNotReachable(row);
        };
        return WaitFor([] { return DeviceList()->topLevelItemCount() == SampleDevices; }, 8000) &&
               WaitFor(silentMarked, 8000);
    }

    static bool SimSaid(const std::string &text, int timeoutMs = 3000) { return sim->WaitForLine(text, timeoutMs); }

    static inline std::unique_ptr<testsupport::DevSim> sim;
    testsupport::ModalWatcher watcher;
};

TEST_F(IPCommands, ConfigureShowsTheDevicesSettingsAndCancelLeavesTheList)
{
    struct Case
    {
        const char *device;
        QStringList fields;
        bool dhcp;
    };
    const std::vector<Case> cases = {
        {"Boiler Room Gateway", {"127.0  .0  .11 ", "255.0  .0  .0  ", "127.0  .0  .1  "}, false},
        {"Line 2 Serial Server", {"127.0  .0  .12 ", "255.0  .0  .0  ", "   .   .   .   "}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        Select(c.device);
        QTreeWidgetItem *const before = DeviceRow(c.device);
        QStringList fields;
        bool autoChecked = !c.dhcp, staticChecked = c.dhcp, enabled = c.dhcp;
        Script script;
        script.When(DialogUp, [] {}).Then([&] {
            fields = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
            autoChecked = Checked("AddrAuto");
            staticChecked = Checked("AddrStatic");
            enabled = Field("IPAddress")->isEnabled();
            IPConfigForm->reject();
        });
        RunCommand("SetIPConfig", &TDeviceForm::SetIPConfigExecute);
        EXPECT_TRUE(script.Finished());
        EXPECT_EQ(IPConfigForm->DeviceID, before->text(TDeviceForm::ColID));
        EXPECT_EQ(fields, c.fields);
        EXPECT_EQ(autoChecked, c.dhcp);
        EXPECT_EQ(staticChecked, !c.dhcp);
        EXPECT_EQ(enabled, !c.dhcp);
        // no rescan: the very same row is still listed
        EXPECT_EQ(DeviceRow(c.device), before);
        EXPECT_TRUE(Calls().setIP.empty());
    }
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(IPCommands, ApplyWritesTheTypedSettingsAndTheRescanListsTheNewAddress)
{
    Select("Packing PLC Bridge");
    Script script;
    script.When(DialogUp, [] {}).Then([] {
        IPConfigForm->findChild<QRadioButton *>(QStringLiteral("AddrStatic"))->click();
        for (auto [field, text] :
             {std::pair{"IPAddress", "127.000.000.113"}, {"SubnetMask", "255.255.0.0"}, {"DefaultGateway", ""}}) {
            Field(field)->clear();
            Field(field)->setCursorPosition(0);
            QTest::keyClicks(Field(field), QLatin1String(text));
        }
        // the dialog keeps the focus where the last use left it (on Cancel,
        // after the cases before): the user clicks into the field first
        Field("IPAddress")->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(Field("IPAddress"), Qt::Key_Return);
    });
    // a row of the list before the rescan; a freed row's memory may hold a
    // new one, so the old row is told by a mark rather than by its address
    constexpr int OldRowRole = Qt::UserRole + 100;
    DeviceRow("Packing PLC Bridge")->setData(TDeviceForm::ColID, OldRowRole, true);
    RunCommand("SetIPConfig", &TDeviceForm::SetIPConfigExecute);
    EXPECT_TRUE(script.Finished());
    EXPECT_TRUE(watcher.boxes.empty());
    ASSERT_EQ(Calls().setIP.size(), 1u);
    EXPECT_EQ(Calls().setIP[0].address, "127.000.000.113");
    EXPECT_EQ(Calls().setIP[0].mask, "255.255.0.0");
    // an empty gateway goes out as dots alone, which the library takes for none
    EXPECT_EQ(Calls().setIP[0].gateway, "...");
    EXPECT_EQ(Calls().setIP[0].useDHCP, 0);
    EXPECT_TRUE(SimSaid("for Packing PLC Bridge: now 127.0.0.113/16"));
    // the list was cleared and filled anew
    EXPECT_TRUE(WaitFor([] {
        QTreeWidgetItem *row = DeviceRow("Packing PLC Bridge");
        return row && !row->data(TDeviceForm::ColID, OldRowRole).isValid();
    }));
    ASSERT_TRUE(ScanDone());
    EXPECT_EQ(DeviceRow("Packing PLC Bridge")->text(TDeviceForm::ColIPAddress), "127.0.0.113");
    EXPECT_FALSE(MarkedNotReachable(DeviceRow("Packing PLC Bridge")));
}

TEST_F(IPCommands, AutoIPGivesAnUnreachableDeviceAFreeAddressAndIgnoresTheAckInTheDialog)
{
    // the dialog last addressed another device and keeps its handler
    Select("Boiler Room Gateway");
    Script script;
    script.When(DialogUp, [] { IPConfigForm->reject(); });
    RunCommand("SetIPConfig", &TDeviceForm::SetIPConfigExecute);
    const QStringList dialogBefore = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
    const int gotIP = LogCount("Got IP");

    // no route to its address in the test's namespace
    ASSERT_TRUE(MarkedNotReachable(DeviceRow("Warehouse Bridge")));
    Select("Warehouse Bridge");
    const QString iface = DeviceRow("Warehouse Bridge")->text(TDeviceForm::ColInterface);
    RunCommand("AutoSetIP", &TDeviceForm::AutoSetIPExecute);
    ASSERT_EQ(Calls().chooseIPAddress, std::vector<std::string>{iface.toStdString()});
    ASSERT_EQ(Calls().setIP.size(), 1u);
    const SetIPCall sent = Calls().setIP[0];
    EXPECT_EQ(sent.useDHCP, 0);
    EXPECT_EQ(sent.mask, "255.0.0.0");
    EXPECT_TRUE(SimSaid("for Warehouse Bridge: now " + sent.address + "/8"));
    ASSERT_TRUE(ScanDone());
    QTreeWidgetItem *row = DeviceRow("Warehouse Bridge");
    EXPECT_EQ(row->text(TDeviceForm::ColIPAddress).toStdString(), sent.address);
    EXPECT_FALSE(MarkedNotReachable(row));
    EXPECT_TRUE(PingDevice(QString::fromStdString(sent.address)));
    // the other device's acknowledgement reached the dialog's handler and was dropped
    EXPECT_EQ(QStringList({Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")}), dialogBefore);
    EXPECT_EQ(LogCount("Got IP"), gotIP);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(IPCommands, AutoIPWithoutAFreeAddressChangesNothing)
{
    Select("Dock Door Sensor");
    QTreeWidgetItem *const before = DeviceRow("Dock Door Sensor");
    Calls().chooseNothing = true;
    RunCommand("AutoSetIP", &TDeviceForm::AutoSetIPExecute);
    QTest::qWait(500);
    EXPECT_EQ(Calls().chooseIPAddress.size(), 1u);
    EXPECT_TRUE(Calls().setIP.empty());
    EXPECT_EQ(DeviceRow("Dock Door Sensor"), before);
    EXPECT_EQ(DeviceList()->topLevelItemCount(), SampleDevices);
    EXPECT_TRUE(watcher.boxes.empty());
}

// Last: it stops the simulator.
TEST_F(IPCommands, DeviceThatNeverAnswersFailsAfterThreeSecondsAndTheDialogKeepsItsValues)
{
    Select("Chiller Monitor");
    Script first;
    first.When(DialogUp, [] { IPConfigForm->reject(); });
    RunCommand("SetIPConfig", &TDeviceForm::SetIPConfigExecute);
    ASSERT_EQ(Shown("IPAddress"), "127.0  .0  .16 ");

    sim->Stop();
    Select("Old Firmware Unit");
    QElapsedTimer clock;
    qint64 failedAfter = -1;
    QStringList fields;
    Script script(20000);
    script.When([&] { return !watcher.boxes.empty(); }, [&] { failedAfter = clock.elapsed(); }).When(DialogUp, [&] {
        fields = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
        IPConfigForm->reject();
    });
    clock.start();
    RunCommand("SetIPConfig", &TDeviceForm::SetIPConfigExecute);
    EXPECT_TRUE(script.Finished());
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, "Failure");
    EXPECT_EQ(watcher.boxes[0].text, "Communication Failed");
    EXPECT_GE(failedAfter, 2800);
    EXPECT_LE(failedAfter, 4500);
    EXPECT_EQ(fields, (QStringList{"127.0  .0  .16 ", "255.0  .0  .0  ", "   .   .   .   "}));
    EXPECT_EQ(DeviceList()->topLevelItemCount(), SampleDevices);
}

} // namespace
