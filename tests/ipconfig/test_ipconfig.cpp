// SPDX-License-Identifier: MIT
// The IP address properties dialog against a scripted device: the dialog's
// library calls are recorded and kept from the network, and the replies
// come through the protocol interface object as the library would send them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>

#include "apptitle.h"
#include "devices.h"
#include "devicecomm.h"
#include "gui_helpers.h"
#include "ipconfig.h"
#include "ipconfig_support.h"
#include "tvpinterface.h"

using namespace iptest;

namespace {

const QString ThisDevice = QStringLiteral("00-20-4A-11-22-33");
const QString OtherDevice = QStringLiteral("00-20-4A-99-88-77");

TDeviceInfo Settings(const QString &id, const QString &ip, const QString &mask, const QString &gateway, int dhcp)
{
    TDeviceInfo info;
    info.ID = id;
    info.Interface = QStringLiteral("lo");
    info.IPAddress = ip;
    info.SubnetMask = mask;
    info.DefaultGateway = gateway;
    info.UseDHCP = uint8_t(dhcp);
    return info;
}

TDeviceInfo Ack(const QString &id, const QString &ip)
{
    TDeviceInfo info;
    info.ID = id;
    info.IPAddress = ip;
    return info;
}

void Reply(uint32_t code, const TDeviceInfo &info)
{
    CurrentInterface->DispatchEvent(code, info);
}

template <typename W>
W *Control(const char *name)
{
    W *w = IPConfigForm->findChild<W *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}
QLineEdit *Field(const char *name)
{
    return Control<QLineEdit>(name);
}
QString Shown(const char *name)
{
    return Field(name)->displayText();
}

bool Waiting()
{
    return DeviceCommForm->IsWaiting();
}
// The dialog is up and its own modal loop has had an idle moment.
bool DialogUp()
{
    return OnScreen(IPConfigForm) && !DeviceCommForm->isVisible();
}

void Type(const char *field, const QString &text)
{
    QLineEdit *edit = Field(field);
    edit->clear();
    edit->setCursorPosition(0);
    QTest::keyClicks(edit, text);
}

class IPDialog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EnsureWindows();
        Calls().Clear();
        Calls().forward = false;
        IPConfigForm->DeviceID = ThisDevice;
    }
    // Opens the dialog with the device answering `reply`.
    Script &OpenAnswering(Script &script, const TDeviceInfo &reply)
    {
        return script.When(Waiting, [reply] { Reply(TVPEventGetIPReply, reply); }).When(DialogUp, [] {});
    }
    testsupport::ModalWatcher watcher;
};

// Runs first: the dialog as created at start-up.
TEST_F(IPDialog, FirstUseWithoutAnswerKeepsBlankFieldsAndDhcpAndApplyAsksForAnAddress)
{
    Script script;
    QStringList fields;
    bool autoChecked = false, fieldsEnabled = true, visibleWhileWaiting = true;
    script.When(Waiting, [&] { visibleWhileWaiting = OnScreen(IPConfigForm); })
        .When(DialogUp, [] {})
        .Then([&] {
            fields = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
            autoChecked = Control<QRadioButton>("AddrAuto")->isChecked();
            fieldsEnabled = Field("IPAddress")->isEnabled() || Field("SubnetMask")->isEnabled() ||
                            Field("DefaultGateway")->isEnabled();
            Control<QPushButton>("ApplyButton")->click();
        })
        .Then([] { IPConfigForm->reject(); });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);
    EXPECT_TRUE(script.Finished());

    EXPECT_FALSE(visibleWhileWaiting);
    const QString blank = QStringLiteral("   .   .   .   ");
    EXPECT_EQ(fields, (QStringList{blank, blank, blank}));
    EXPECT_TRUE(autoChecked);
    EXPECT_FALSE(fieldsEnabled);
    ASSERT_EQ(watcher.boxes.size(), 2u);
    EXPECT_EQ(watcher.boxes[0].title, "Failure");
    EXPECT_EQ(watcher.boxes[0].text, "Communication Failed");
    EXPECT_EQ(watcher.boxes[1].title, ApplicationTitle);
    EXPECT_EQ(watcher.boxes[1].text, "IP address must be entered.");
    EXPECT_EQ(watcher.boxes[1].icon, QMessageBox::Critical);
    EXPECT_EQ(watcher.boxes[1].buttons, QStringList{"OK"});
    EXPECT_EQ(Calls().getIP.size(), 1u);
    EXPECT_TRUE(Calls().setIP.empty());
}

TEST_F(IPDialog, ReplyFillsFieldsGroupByGroupAndUseDhcpSetsRadioButtonsAndEnabledStates)
{
    for (const int dhcp : {0, 1}) {
        SCOPED_TRACE(dhcp);
        Calls().Clear();
        const int opened = LogCount("Device Comm opened"), got = LogCount("Got IP");
        QStringList shown;
        bool autoChecked = !dhcp, staticChecked = dhcp, enabled = dhcp;
        Script script;
        OpenAnswering(script, Settings(ThisDevice, "192.168.1.5", "255.255.255.0", "192.168.1.1", dhcp))
            .Then([&] {
                shown = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
                autoChecked = Control<QRadioButton>("AddrAuto")->isChecked();
                staticChecked = Control<QRadioButton>("AddrStatic")->isChecked();
                enabled = Field("IPAddress")->isEnabled();
                EXPECT_EQ(Field("SubnetMask")->isEnabled(), enabled);
                EXPECT_EQ(Field("DefaultGateway")->isEnabled(), enabled);
                EXPECT_EQ(Control<QWidget>("Panel1")->isEnabled(), enabled);
                // sent back as it came
                Control<QPushButton>("ApplyButton")->click();
            })
            .When(Waiting, [] { Reply(TVPEventSetIPReply, Ack(ThisDevice, "192.168.1.5")); });
        EXPECT_EQ(IPConfigForm->exec(), mrOk);
        EXPECT_TRUE(script.Finished());

        EXPECT_EQ(shown, (QStringList{"192.168.1  .5  ", "255.255.255.0  ", "192.168.1  .1  "}));
        EXPECT_EQ(autoChecked, dhcp == 1);
        EXPECT_EQ(staticChecked, dhcp == 0);
        EXPECT_EQ(enabled, dhcp == 0);
        ASSERT_EQ(Calls().getIP.size(), 1u);
        EXPECT_EQ(Calls().getIP[0], FakeIdOf(ThisDevice.toStdString()));
        ASSERT_EQ(Calls().setIP.size(), 1u);
        const SetIPCall &sent = Calls().setIP[0];
        EXPECT_EQ(sent.id, FakeIdOf(ThisDevice.toStdString()));
        EXPECT_EQ(sent.address, "192.168.1.5");
        EXPECT_EQ(sent.mask, "255.255.255.0");
        EXPECT_EQ(sent.gateway, "192.168.1.1");
        EXPECT_EQ(sent.useDHCP, dhcp);
        EXPECT_EQ(LogCount("Device Comm opened"), opened + 2);
        EXPECT_EQ(LogCount("Got IP"), got + 1);
        EXPECT_TRUE(watcher.boxes.empty());
    }
}

TEST_F(IPDialog, ApplySendsTheFieldsWithoutBlanksAndOtherwiseAsTyped)
{
    struct Row
    {
        const char *name;
        QString ip, mask, gateway;
        bool dhcp;
        bool byEnter;
        std::string sentIp, sentMask, sentGateway;
    };
    const std::vector<Row> rows = {
        {"leading zeros kept", "192.168.001.010", "255.255.255.000", "192.168.1.1", false, false, "192.168.001.010",
         "255.255.255.000", "192.168.1.1"},
        {"partly filled address, empty gateway", "10.0", "255.0.0.0", "", false, false, "10.0..", "255.0.0.0", "..."},
        {"DHCP still sends the texts; Enter runs Apply", "10.1.2.3", "", "", true, true, "10.1.2.3", "...", "..."},
        {"groups not range-checked", "999.1.2.3", "1.2.3", "0.0.0.0", false, true, "999.1.2.3", "1.2.3.", "0.0.0.0"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Calls().Clear();
        Script script;
        OpenAnswering(script, Settings(ThisDevice, "192.168.7.7", "255.255.0.0", "", 0))
            .Then([&] {
                Control<QRadioButton>("AddrStatic")->click();
                Type("IPAddress", row.ip);
                Type("SubnetMask", row.mask);
                Type("DefaultGateway", row.gateway);
                if (row.dhcp)
                    Control<QRadioButton>("AddrAuto")->click();
            })
            .Then([&] {
                if (row.byEnter)
                    QTest::keyClick(Field("IPAddress"), Qt::Key_Return);
                else
                    QTest::mouseClick(Control<QPushButton>("ApplyButton"), Qt::LeftButton);
            })
            .When(Waiting, [] { Reply(TVPEventSetIPReply, Ack(ThisDevice, "")); });
        EXPECT_EQ(IPConfigForm->exec(), mrOk);
        EXPECT_TRUE(script.Finished());
        ASSERT_EQ(Calls().setIP.size(), 1u);
        const SetIPCall &sent = Calls().setIP[0];
        EXPECT_EQ(sent.address, row.sentIp);
        EXPECT_EQ(sent.mask, row.sentMask);
        EXPECT_EQ(sent.gateway, row.sentGateway);
        EXPECT_EQ(sent.useDHCP, row.dhcp ? 1 : 0);
    }
}

TEST_F(IPDialog, CancelEscAndCloseBoxReturnCancelAndSendNothing)
{
    const std::vector<std::pair<const char *, std::function<void()>>> ways = {
        {"Cancel button", [] { Control<QPushButton>("CancelButton")->click(); }},
        {"Esc", [] { QTest::keyClick(Field("IPAddress"), Qt::Key_Escape); }},
        {"close box", [] { IPConfigForm->close(); }},
    };
    for (const auto &[name, way] : ways) {
        SCOPED_TRACE(name);
        Calls().Clear();
        Script script;
        OpenAnswering(script, Settings(ThisDevice, "192.168.7.7", "255.255.0.0", "", 0))
            .Then([] { Type("IPAddress", "10.9.8.7"); })
            .Then(way);
        EXPECT_EQ(IPConfigForm->exec(), mrCancel);
        EXPECT_TRUE(script.Finished());
        EXPECT_EQ(Calls().getIP.size(), 1u);
        EXPECT_TRUE(Calls().setIP.empty());
    }
}

TEST_F(IPDialog, EmptyAddressShowsTheErrorBoxSendsNothingAndKeepsTheQueryHandler)
{
    for (const bool dhcp : {true, false}) {
        SCOPED_TRACE(dhcp);
        Calls().Clear();
        watcher.boxes.clear();
        QString afterLateReply;
        bool stillOpen = false;
        Script script;
        OpenAnswering(script, Settings(ThisDevice, "192.168.7.7", "255.255.0.0", "", 0))
            .Then([&] {
                Field("IPAddress")->clear();
                Control<QRadioButton>(dhcp ? "AddrAuto" : "AddrStatic")->click();
                Control<QPushButton>("ApplyButton")->click();
            })
            .When([&] { return !watcher.boxes.empty(); },
                  [&] {
                      stillOpen = OnScreen(IPConfigForm);
                      // no set-reply handler was installed: a reply still fills the fields
                      Reply(TVPEventGetIPReply, Settings(ThisDevice, "10.1.2.3", "", "", 0));
                      afterLateReply = Shown("IPAddress");
                      IPConfigForm->reject();
                  });
        EXPECT_EQ(IPConfigForm->exec(), mrCancel);
        EXPECT_TRUE(script.Finished());
        EXPECT_TRUE(stillOpen);
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, "IP address must be entered.");
        EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(Calls().setIP.empty());
        EXPECT_EQ(afterLateReply, "10 .1  .2  .3  ");
    }
}

TEST_F(IPDialog, RepliesFromAnotherDeviceAreIgnoredWhileQuerying)
{
    bool endedByOther = true;
    QString shownAfterOther;
    Script script;
    script
        .When(Waiting,
              [] {
                  Reply(TVPEventGetIPReply, Settings(OtherDevice, "10.66.66.66", "255.0.0.0", "10.0.0.1", 1));
                  // the Auto IP command's acknowledgement of another device
                  Reply(TVPEventSetIPReply, Ack(OtherDevice, "10.66.66.67"));
              })
        .Then([&] {
            endedByOther = !Waiting();
            shownAfterOther = Shown("IPAddress");
            Reply(TVPEventGetIPReply, Settings(ThisDevice, "172.16.0.9", "255.255.0.0", "172.16.0.1", 0));
        })
        .When(DialogUp, [] { IPConfigForm->reject(); });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);
    EXPECT_TRUE(script.Finished());
    EXPECT_FALSE(endedByOther);
    EXPECT_NE(shownAfterOther.trimmed(), "10.66.66.66");
    EXPECT_EQ(Shown("IPAddress"), "172.16 .0  .9  ");
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(IPDialog, SetReplyOfThisDeviceDuringQueryBlanksMaskAndGatewayAndChecksStatic)
{
    Control<QRadioButton>("AddrAuto")->setChecked(true);
    Script script;
    script.When(Waiting, [] { Reply(TVPEventSetIPReply, Ack(ThisDevice, "192.168.3.4")); }).When(DialogUp, [] {
        IPConfigForm->reject();
    });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);
    EXPECT_EQ(Shown("IPAddress"), "192.168.3  .4  ");
    EXPECT_EQ(Shown("SubnetMask"), "   .   .   .   ");
    EXPECT_EQ(Shown("DefaultGateway"), "   .   .   .   ");
    EXPECT_TRUE(Control<QRadioButton>("AddrStatic")->isChecked());
}

TEST_F(IPDialog, AcknowledgementFromAnotherDeviceLeavesTheDialogOpenAfterTheTimeout)
{
    bool openAfterFailure = false;
    QString kept;
    Script script;
    OpenAnswering(script, Settings(ThisDevice, "192.168.7.7", "255.255.0.0", "", 0))
        .Then([] {
            Type("IPAddress", "192.168.7.8");
            Control<QPushButton>("ApplyButton")->click();
        })
        .When(Waiting, [] { Reply(TVPEventSetIPReply, Ack(OtherDevice, "192.168.7.8")); })
        .When([&] { return !watcher.boxes.empty() && DialogUp(); },
              [&] {
                  openAfterFailure = true;
                  kept = Shown("IPAddress");
                  IPConfigForm->reject();
              });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);
    EXPECT_TRUE(script.Finished());
    EXPECT_TRUE(openAfterFailure);
    EXPECT_EQ(kept, "192.168.7  .8  ");
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, "Communication Failed");
    ASSERT_EQ(Calls().setIP.size(), 1u);
    EXPECT_EQ(Calls().setIP[0].address, "192.168.7.8");
}

TEST_F(IPDialog, NoAnswerOpensWithThePreviousDevicesValues)
{
    Script first;
    OpenAnswering(first, Settings(ThisDevice, "192.168.5.6", "255.255.255.0", "192.168.5.1", 0)).Then([] {
        IPConfigForm->reject();
    });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);

    IPConfigForm->DeviceID = OtherDevice;
    QStringList shown;
    Script second;
    second.When([&] { return !watcher.boxes.empty() && DialogUp(); },
                [&] {
                    shown = {Shown("IPAddress"), Shown("SubnetMask"), Shown("DefaultGateway")};
                    IPConfigForm->reject();
                });
    EXPECT_EQ(IPConfigForm->exec(), mrCancel);
    EXPECT_TRUE(second.Finished());
    EXPECT_EQ(shown, (QStringList{"192.168.5  .6  ", "255.255.255.0  ", "192.168.5  .1  "}));
    ASSERT_EQ(Calls().getIP.size(), 2u);
    EXPECT_EQ(Calls().getIP[1], FakeIdOf(OtherDevice.toStdString()));
}

TEST_F(IPDialog, ReopensWhereItLastStood)
{
    QPoint moved;
    Script first;
    OpenAnswering(first, Settings(ThisDevice, "192.168.5.6", "255.255.255.0", "", 0))
        .Then([&] {
            // as the user drags it: the window moves, not the widget
            QWindow *window = IPConfigForm->windowHandle();
            window->setPosition(window->position() + QPoint(37, 21));
        })
        .Then([&] {
            moved = IPConfigForm->pos();
            IPConfigForm->reject();
        });
    IPConfigForm->exec();
    QPoint reopened;
    Script second;
    OpenAnswering(second, Settings(ThisDevice, "192.168.5.6", "255.255.255.0", "", 0)).Then([&] {
        reopened = IPConfigForm->pos();
        IPConfigForm->reject();
    });
    IPConfigForm->exec();
    EXPECT_EQ(reopened, moved);
}

// The checked radio button holds the group's tab stop, so Tab reaches it
// in its place of the tab order, whichever button had the focus before.
TEST_F(IPDialog, TabReachesTheCheckedRadioButtonInItsPlace)
{
    const struct
    {
        int dhcp;
        const char *focusedBefore;
        QStringList chain; // from the Apply button on
    } cases[] = {
        {0, "AddrAuto", {"IPAddress", "SubnetMask", "DefaultGateway", "AddrStatic", "CancelButton", "ApplyButton"}},
        {0, "AddrStatic", {"IPAddress", "SubnetMask", "DefaultGateway", "AddrStatic", "CancelButton", "ApplyButton"}},
        {1, "AddrStatic", {"AddrAuto", "CancelButton", "ApplyButton"}},
        {1, "AddrAuto", {"AddrAuto", "CancelButton", "ApplyButton"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dhcp);
        SCOPED_TRACE(c.focusedBefore);
        QStringList forward, backward;
        Script script;
        OpenAnswering(script, Settings(ThisDevice, "10.0.0.5", "255.0.0.0", "10.0.0.1", c.dhcp)).Then([&] {
            IPConfigForm->activateWindow();
            // focus by a click leaves the button unchecked state alone
            Control<QWidget>(c.focusedBefore)->setFocus(Qt::MouseFocusReason);
            Control<QWidget>("ApplyButton")->setFocus(Qt::TabFocusReason);
            for (int i = 0; i < int(c.chain.size()); ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                forward << QApplication::focusWidget()->objectName();
            }
            for (int i = 0; i < int(c.chain.size()); ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
                backward.prepend(QApplication::focusWidget()->objectName());
            }
            IPConfigForm->reject();
        });
        EXPECT_EQ(IPConfigForm->exec(), mrCancel);
        EXPECT_TRUE(script.Finished());
        EXPECT_EQ(forward.join(' ').toStdString(), c.chain.join(' ').toStdString());
        QStringList expectedBack = c.chain;
        expectedBack.removeLast();
        expectedBack.prepend(QStringLiteral("ApplyButton"));
        EXPECT_EQ(backward.join(' ').toStdString(), expectedBack.join(' ').toStdString());
    }
}

// Texts reach the library in the encoding they came in: UTF-8.
TEST_F(IPDialog, AutoIPHandsTheInterfaceTextBackInUtf8)
{
    auto *list = DeviceForm->findChild<QTreeWidget *>(QStringLiteral("DeviceList"));
    ASSERT_NE(list, nullptr);
    for (const QString &iface :
         {QStringLiteral("eth0"), QString::fromUtf8("wl\u00e5n0"), QString::fromUtf8("\u0441\u0435\u0442\u044c-\u03b3"),
          QString::fromUtf8("br-\U0001F4E1")}) {
        Calls().Clear();
        list->clear();
        auto *row = new QTreeWidgetItem(list, {"Pump", "I/O Box", "169.254.3.9", ThisDevice, iface});
        DeviceForm->SetImageIndex(row, TDeviceForm::NotReachableImage);
        list->setCurrentItem(row);
        DeviceForm->AutoSetIPExecute();
        ASSERT_EQ(Calls().chooseIPAddress.size(), 1u) << iface.toStdString();
        EXPECT_EQ(Calls().chooseIPAddress[0], iface.toStdString());
    }
    list->clear();
}

TEST(StripBlanks, RemovesSpacesOnly)
{
    const std::vector<std::pair<QString, QString>> cases = {
        {"   .   .   .   ", "..."},
        {"10 .0  .   .   ", "10.0.."},
        {"192.168.001.010", "192.168.001.010"},
        {" a\tb c ", "a\tbc"},
        {"", ""},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(StripBlanks(in), out) << in.toStdString();
}

} // namespace
