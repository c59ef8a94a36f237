// SPDX-License-Identifier: MIT
// Enter in every dialog: a focused button takes it; elsewhere the default
// button does. The upgrade dialog sends to tvp-devsim, so that a key that
// sent an image would show there.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <string>

#include "about.h"
#include "devicecomm.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "ipconfig.h"
#include "ipconfig_support.h"
#include "test_support.h"
#include "tvpinterface.h"
#include "upgrade.h"

using namespace iptest;

namespace {

QWidget *Child(QWidget *dialog, const char *name)
{
    QWidget *w = dialog->findChild<QWidget *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Focuses `target` as Tab would, once its window is active, and presses
// `key` there (Enter comes from the keypad).
void PressOn(QWidget *target, Qt::Key key = Qt::Key_Return)
{
    EXPECT_TRUE(testsupport::WaitFor([&] { return target->window()->isActiveWindow(); }));
    target->setFocus(Qt::TabFocusReason);
    QTest::keyClick(target, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
}

class DialogKeys : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EnsureWindows();
        Calls().Clear();
        Calls().forward = false;
    }

    // Shows `dialog` modally and presses `key` on its child `focus`; what
    // the key left open is then closed with Cancel.
    int PressIn(QDialog *dialog, const char *focus, Qt::Key key = Qt::Key_Return)
    {
        closedByKey = false;
        QTimer::singleShot(0, dialog, [=, this] {
            PressOn(Child(dialog, focus), key);
            closedByKey = !dialog->isVisible();
            if (!closedByKey)
                dialog->reject();
        });
        return dialog->exec();
    }

    bool closedByKey = false;
};

TEST_F(DialogKeys, OneButtonDialogsButtonTakesEnter)
{
    const struct
    {
        QDialog *dialog;
        const char *button;
        int result;
    } cases[] = {
        {AboutForm, "Button1", QDialog::Accepted},
        // without the key the wait would end in its time-out box
        {DeviceCommForm, "CancelButton", mrCancel},
    };
    for (const auto &c : cases) {
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            SCOPED_TRACE(c.dialog->objectName().toStdString() + " " + std::to_string(key));
            testsupport::ModalWatcher watcher;
            EXPECT_EQ(PressIn(c.dialog, c.button, key), c.result);
            EXPECT_TRUE(closedByKey);
            EXPECT_TRUE(watcher.boxes.empty());
        }
    }
}

TEST_F(DialogKeys, IPDialogsFocusedCancelCancelsAndEverywhereElseEnterApplies)
{
    TDeviceInfo settings;
    settings.ID = IPConfigForm->DeviceID = QStringLiteral("00-20-4A-11-22-33");
    settings.IPAddress = QStringLiteral("10.1.2.3"); // a static address: AddrStatic checked
    const TDeviceInfo ack = settings;
    const struct
    {
        const char *focus;
        int result;
    } cases[] = {
        {"CancelButton", mrCancel},
        {"ApplyButton", mrOk},
        {"IPAddress", mrOk},
        {"AddrStatic", mrOk},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.focus);
        Calls().Clear();
        Script script;
        script
            .When([] { return DeviceCommForm->IsWaiting(); },
                  [&] { CurrentInterface->DispatchEvent(TVPEventGetIPReply, settings); })
            .When([] { return OnScreen(IPConfigForm) && !DeviceCommForm->isVisible(); },
                  [&] { PressOn(Child(IPConfigForm, c.focus)); })
            .When([] { return DeviceCommForm->IsWaiting(); },
                  [&] { CurrentInterface->DispatchEvent(TVPEventSetIPReply, ack); });
        EXPECT_EQ(IPConfigForm->exec(), c.result);
        EXPECT_EQ(Calls().setIP.size(), c.result == mrOk ? 1u : 0u);
    }
}

TEST_F(DialogKeys, UpgradeDialogsFocusedButtonTakesEnterAndOnlyUpgradeSends)
{
    if (!testsupport::InPrivateNetns())
        GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
    testsupport::DevSim sim;
    ASSERT_TRUE(sim.Start());
    sim.UseFromThisProcess();
    testsupport::TempDir dir;
    const struct
    {
        const char *focus;
        const char *image;
        int fileDialogs;
        bool sent;
    } cases[] = {
        {"CancelButton", "cancel.bin", 0, false},
        {"ChooseButton", "choose.bin", 1, false},
        // shown again with the focus on Choose, then in a field: Upgrade
        // is the default again
        {"IPAddress", "field.bin", 0, true},
        {"UpgradeButton", "button.bin", 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.focus);
        const QString image = QString::fromStdString(dir.path()) + "/" + c.image;
        QFile file(image);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(3000, 'x'));
        file.close();
        UpgradeForm->findChild<QLineEdit *>("FileName")->setText(image);
        UpgradeForm->SetIPAddressText("127.0.0.11"); // the sample LAN's device that takes any image

        testsupport::ModalWatcher watcher; // the outcome's message box
        int fileDialogs = 0;
        watcher.onDialog = [&](QWidget *w) {
            if (auto *dialog = qobject_cast<QFileDialog *>(w); dialog && dialog->isVisible()) {
                ++fileDialogs;
                dialog->reject();
            }
        };
        EXPECT_EQ(PressIn(UpgradeForm, c.focus), c.sent ? int(QDialog::Accepted) : TUpgradeForm::ModalCancel);
        EXPECT_EQ(closedByKey, c.fileDialogs == 0);
        EXPECT_EQ(fileDialogs, c.fileDialogs);
        if (c.sent) {
            EXPECT_TRUE(sim.WaitForLine(std::string("received \"") + c.image + "\""));
        }
    }
    // The device serves requests in order: by the last image's line, a
    // request of an earlier case would have shown.
    for (const std::string &line : sim.LogLines())
        for (const char *kept : {"cancel.bin", "choose.bin"})
            EXPECT_EQ(line.find(kept), std::string::npos) << line;
}

} // namespace
