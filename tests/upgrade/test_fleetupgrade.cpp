// SPDX-License-Identifier: MIT
// Tools > Upgrade Several Devices...: which devices its filter lets through;
// against tvp-devsim, ten devices, one busy at its first request and one
// refusing every image, upgraded four at a time while the event loop keeps
// turning; and the dialog from the keyboard.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <fstream>
#include <memory>

#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "fleetupgrade.h"
#include "gui_helpers.h"
#include "qt_printers.h"
#include "test_support.h"

namespace {

using testsupport::WaitFor;

constexpr int Devices = 10;
const char *const Busy = "Unit 03";    // "no answer or busy" at its first request
const char *const Refuses = "Unit 07"; // answers every image with a TFTP error

QString Address(int n)
{
    return QStringLiteral("127.0.0.%1").arg(20 + n);
}

TEST(FleetUpgradeForm, OnlyCheckedDevicesTheFilterShowsAreUpgraded)
{
    TFleetUpgradeForm form(nullptr);
    QList<TDeviceInfo> devices;
    for (const auto &[name, type] : {std::pair{"Pump A", "Serial Server"},
                                     {"pump b", "Serial Server"},
                                     {"Press", "Serial Server"},
                                     {"Pump C", "I/O Gateway"}}) {
        devices << TDeviceInfo{};
        devices.back().Name = name;
        devices.back().Type = type;
    }
    form.SetDevices(devices);
    const struct
    {
        int type; // 0: all, then the types in order
        const char *name;
        const char *button;
        const char *selection;
    } steps[] = {
        {0, "", "CheckShownButton", "4 of 4 devices to upgrade"},
        {2, "PUMP", nullptr, "2 of 4 devices to upgrade (2 checked but hidden by the filter)"},
        {1, "", "UncheckAllButton", "0 of 4 devices to upgrade"},
        {1, "", "CheckShownButton", "1 of 4 devices to upgrade"},
        {2, "", nullptr, "0 of 4 devices to upgrade (1 checked but hidden by the filter)"},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.selection);
        form.findChild<QComboBox *>("TypeFilter")->setCurrentIndex(s.type);
        form.findChild<QLineEdit *>("NameFilter")->setText(s.name);
        if (s.button)
            form.findChild<QPushButton *>(s.button)->click();
        EXPECT_EQ(form.findChild<QLabel *>("Selection")->text(), s.selection);
    }
}

class FleetUpgradeDevsim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        const std::string lan = dir.path() + "/ten.json";
        std::ofstream json(lan);
        json << "{\"devices\": [\n";
        for (int n = 1; n <= Devices; ++n) {
            const QString name = QStringLiteral("Unit %1").arg(n, 2, 10, QLatin1Char('0'));
            const char *upgrade = name == Busy ? "busy-first" : name == Refuses ? "fail" : "succeed";
            json << (n > 1 ? ",\n" : "") << "{\"name\": \"" << name.toStdString()
                 << "\", \"type\": \"Serial Server\", \"mac\": \"00:1A:2B:00:01:" << 10 + n
                 << "\", \"dhcp\": false, \"ip\": \"" << Address(n).toStdString()
                 << "\", \"mask\": \"255.0.0.0\", \"gateway\": \"\", \"upgrade\": \"" << upgrade << "\"}";
        }
        json << "\n]}\n";
        json.close();
        sim = std::make_unique<testsupport::DevSim>(std::vector<std::string>{"--json", lan});
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        image = QString::fromStdString(dir.path()) + "/fleet.bin";
        QFile file(image);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(40000, 'f'));
        file.close();

        CreateWindows();
        DeviceForm->ScanExecute();
        ASSERT_TRUE(WaitFor([] { return testsupport::DeviceList()->topLevelItemCount() == Devices; }));
        FleetUpgradeForm = new TFleetUpgradeForm(DeviceForm->ProtocolInterface, DeviceForm);
        // the pause is the rule's, not its length: a short one here
        FleetUpgradeForm->SetTiming(std::chrono::milliseconds(300), std::chrono::seconds(10));
    }

    void TearDown() override
    {
        DestroyWindows();
        sim.reset();
    }

    template <typename T>
    static T *Child(const char *name)
    {
        T *w = FleetUpgradeForm->findChild<T *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    static QString Outcome(const QString &name)
    {
        const QList<QTreeWidgetItem *> rows =
            Child<QTreeWidget>("DeviceTable")->findItems(name, Qt::MatchExactly, TFleetUpgradeForm::ColName);
        return rows.size() == 1 ? rows.first()->text(TFleetUpgradeForm::ColOutcome) : QStringLiteral("no row");
    }

    // Focuses a control of the dialog as Tab would and presses a key there.
    static void Press(const char *name, Qt::Key key = Qt::Key_Return)
    {
        QWidget *w = Child<QWidget>(name);
        w->setFocus(Qt::TabFocusReason);
        QTest::keyClick(w, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    }

    // Opens the dialog from the Tools menu with the image and every device
    // checked, runs `drive` inside it, and closes what it left open.
    void Open(int jobs, const std::function<void()> &drive)
    {
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(WaitFor([] { return FleetUpgradeForm->isVisible(); }));
            Child<QLineEdit>("FileName")->setText(image);
            Child<QSpinBox>("Jobs")->setValue(jobs);
            Press("CheckShownButton");
            drive();
            EXPECT_TRUE(WaitFor([] { return !FleetUpgradeForm->IsRunning(); }, 30000));
            if (FleetUpgradeForm->isVisible())
                FleetUpgradeForm->done(QDialog::Rejected);
        });
        DeviceForm->findChild<QAction *>("UpgradeSeveral")->trigger();
    }

    // The devices whose image the simulator stored.
    QStringList Received() const
    {
        QStringList received;
        const std::vector<std::string> lines = sim->LogLines();
        for (int n = 1; n <= Devices; ++n) {
            const std::string stored = Address(n).toStdString() + " received \"fleet.bin\"";
            if (std::any_of(lines.begin(), lines.end(),
                            [&](const std::string &l) { return l.find(stored) != std::string::npos; }))
                received << Address(n);
        }
        return received;
    }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::DevSim> sim;
    QString image;
};

TEST_F(FleetUpgradeDevsim, TenDevicesRightOutcomesWhileTheLoopTurns)
{
    int removed = 0;
    QObject::connect(testsupport::DeviceList()->model(), &QAbstractItemModel::rowsRemoved, [&] { ++removed; });
    // a zero timer fires on every turn of the loop: it must see the retry
    // pause and the transfers, which a blocked loop would hide from it
    bool sawPause = false, sawSending = false;
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout, [&] {
        sawPause = sawPause || Outcome(Busy).startsWith("No answer, or busy: trying again");
        sawSending = sawSending || Outcome("Unit 10") == "Sending";
    });
    Open(4, [&] {
        turn.start(0);
        Press("StartButton");
        EXPECT_TRUE(FleetUpgradeForm->IsRunning());
    });
    turn.stop();

    EXPECT_TRUE(sawPause);
    EXPECT_TRUE(sawSending);
    for (int n = 1; n <= Devices; ++n) {
        const QString name = QStringLiteral("Unit %1").arg(n, 2, 10, QLatin1Char('0'));
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(Outcome(name), name == Busy      ? "Upgraded at the second attempt; answers again"
                                 : name == Refuses ? "Failed: the device refused the image"
                                                   : "Upgraded; answers again");
    }
    QStringList upgraded;
    for (int n = 1; n <= Devices; ++n)
        if (n != 7)
            upgraded << Address(n);
    EXPECT_TRUE(WaitFor([&] { return Received() == upgraded; })) << Received().join(' ').toStdString();
    EXPECT_EQ(Child<QLabel>("Summary")->text(),
              "10 devices: 9 upgraded (1 at the second attempt), 1 failed. All 9 answer again.");
    // the rediscovery asked beside the main list: nothing taken from it
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(testsupport::DeviceList()->topLevelItemCount(), Devices);
}

TEST_F(FleetUpgradeDevsim, EnterOnAFocusedButtonDoesItsAction)
{
    // idle: Choose... opens the file dialog and keeps the window; Close closes it
    testsupport::ModalWatcher watcher;
    int fileDialogs = 0;
    watcher.onDialog = [&](QWidget *w) {
        if (auto *files = qobject_cast<QFileDialog *>(w); files && files->isVisible()) {
            ++fileDialogs;
            files->reject();
        }
    };
    bool openAfterChoose = false, closedByClose = false;
    Open(1, [&] {
        Press("ChooseButton");
        openAfterChoose = FleetUpgradeForm->isVisible();
        Press("CancelButton");
        closedByClose = !FleetUpgradeForm->isVisible();
    });
    EXPECT_EQ(fileDialogs, 1);
    EXPECT_TRUE(openAfterChoose);
    EXPECT_TRUE(closedByClose);
    EXPECT_TRUE(Received().isEmpty());

    // running, one at a time: Start starts; Cancel, and Esc too, start
    // nothing more and keep the window
    const struct
    {
        const char *focus;
        Qt::Key key;
    } cancels[] = {{"CancelButton", Qt::Key_Return}, {"DeviceTable", Qt::Key_Escape}};
    for (const auto &c : cancels) {
        SCOPED_TRACE(c.focus);
        bool started = false, cancelled = false, open = false;
        Open(1, [&] {
            Press("StartButton", Qt::Key_Enter);
            started = FleetUpgradeForm->IsRunning();
            Press(c.focus, c.key);
            cancelled = Outcome("Unit 02") == "Not started (cancelled)";
            EXPECT_TRUE(WaitFor([] { return !FleetUpgradeForm->IsRunning(); }, 30000));
            open = FleetUpgradeForm->isVisible();
        });
        EXPECT_TRUE(started);
        EXPECT_TRUE(cancelled);
        EXPECT_TRUE(open);
        EXPECT_EQ(Outcome("Unit 01"), "Upgraded; answers again");
        EXPECT_EQ(Child<QLabel>("Summary")->text(),
                  "10 devices: 1 upgraded, 0 failed, 9 not started (cancelled). It answers again.");
    }
    EXPECT_EQ(Received(), QStringList{Address(1)});
}

} // namespace
