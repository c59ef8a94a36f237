// SPDX-License-Identifier: MIT
// A user's whole session with the program's own windows against the
// simulated sample LAN: scan, Auto IP for an unreachable device, rescan,
// Configure a static address, Upgrade with one busy answer, About.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "about.h"
#include "application.h"
#include "apptitle.h"
#include "devicecomm.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "ipconfig.h"
#include "log.h"
#include "test_support.h"
#include "tvpinterface.h"
#include "upgrade.h"

using testsupport::DeviceList;
using testsupport::DeviceRow;
using testsupport::MarkedNotReachable;

namespace {

const QString Device = QStringLiteral("Warehouse Bridge");
const QString StaticAddress = QStringLiteral("127.0.0.120");
constexpr int SampleDevices = 8;

// Waits with the event loop free to go idle, which is when the windows'
// enabling rules run.
bool WaitIdle(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Every device listed, and the probes through: the device that never
// answers one carries its mark.
bool ScanDone()
{
    return WaitIdle([] {
        return DeviceList()->topLevelItemCount() == SampleDevices && DeviceRow("Dock Door Sensor") &&
               MarkedNotReachable(DeviceRow("Dock Door Sensor"));
    });
}

QAction *Command(const QString &nameOrText)
{
    for (QAction *a : DeviceForm->findChildren<QAction *>())
        if (a->objectName() == nameOrText || a->text().remove(QLatin1Char('&')) == nameOrText)
            return a;
    return nullptr;
}

// Runs a main-window command as the user would; returns when the windows it
// opened have closed.
void RunCommand(const QString &command)
{
    QAction *a = Command(command);
    ASSERT_NE(a, nullptr) << command.toStdString();
    ASSERT_TRUE(WaitIdle([a] { return a->isEnabled(); })) << command.toStdString();
    a->trigger();
}

template <typename T>
T *Child(QWidget *w, const char *name)
{
    return w->findChild<T *>(QLatin1String(name));
}

// Later, from the event loop: a step taken inside the watcher's own poll
// would keep the watcher from closing the boxes that the step opens.
void Soon(std::function<void()> step)
{
    QTimer::singleShot(0, DeviceForm, std::move(step));
}

// The sample LAN, with the device that this session upgrades busy at its
// first upgrade request.
std::string SampleLanWithBusyDevice(const testsupport::TempDir &dir)
{
    QFile sample(QStringLiteral(NETSCRY_SAMPLE_LAN));
    EXPECT_TRUE(sample.open(QIODevice::ReadOnly));
    QJsonObject lan = QJsonDocument::fromJson(sample.readAll()).object();
    QJsonArray devices = lan["devices"].toArray();
    for (auto &&entry : devices) {
        QJsonObject d = entry.toObject();
        if (d["name"].toString() == Device) {
            d["upgrade"] = "busy-first";
            entry = d;
        }
    }
    lan["devices"] = devices;
    const std::string path = dir.path() + "/lan.json";
    QFile out(QString::fromStdString(path));
    EXPECT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QJsonDocument(lan).toJson());
    return path;
}

TEST(Session, ScanAutoIPConfigureUpgradeAbout)
{
    if (!testsupport::InPrivateNetns())
        GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
    testsupport::TempDir dir;
    testsupport::DevSim sim({"--json", SampleLanWithBusyDevice(dir)});
    ASSERT_TRUE(sim.Start());
    sim.UseFromThisProcess();

    // As start-up does it.
    ApplicationTitle = ApplicationTitleFromPath(QCoreApplication::applicationFilePath());
    DebugMode = true;
    CreateWindows();
    ShowWindows();
    testsupport::ModalWatcher watcher;
    // A step that never comes would leave a window open for ever: past the
    // deadline every modal window is closed and the test fails.
    QElapsedTimer session;
    session.start();
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&session] {
        QWidget *open = QApplication::activeModalWidget();
        if (session.elapsed() < 120000 || !open)
            return;
        ADD_FAILURE() << "still open: " << open->metaObject()->className();
        open->close();
    });
    watchdog.start(200);

    // Scan at start: the device has an address the PC cannot reach.
    ASSERT_TRUE(ScanDone());
    ASSERT_NE(DeviceRow(Device), nullptr);
    EXPECT_EQ(DeviceRow(Device)->text(TDeviceForm::ColIPAddress), "192.168.77.20");
    EXPECT_TRUE(MarkedNotReachable(DeviceRow(Device)));

    // Auto IP, and the rescan that follows lists it reachable.
    QTreeWidgetItem *before = DeviceRow(Device);
    DeviceList()->setCurrentItem(before);
    RunCommand("AutoSetIP");
    ASSERT_TRUE(sim.WaitForLine("for " + Device.toStdString() + ": now "));
    ASSERT_TRUE(WaitIdle([&] { return DeviceRow(Device) && DeviceRow(Device) != before; }));
    ASSERT_TRUE(ScanDone());
    const QString chosen = DeviceRow(Device)->text(TDeviceForm::ColIPAddress);
    EXPECT_NE(chosen, "192.168.77.20");
    EXPECT_FALSE(MarkedNotReachable(DeviceRow(Device)));
    EXPECT_TRUE(PingDevice(chosen));

    // Configure: the dialog shows the chosen address; a static one is applied.
    DeviceList()->setCurrentItem(DeviceRow(Device));
    bool applied = false;
    QString shownAddress;
    watcher.onDialog = [&](QWidget *w) {
        if (applied || w != IPConfigForm || DeviceCommForm->isVisible())
            return;
        auto *address = Child<QLineEdit>(IPConfigForm, "IPAddress");
        if (address->text() != chosen)
            return; // the device's reply has not filled the fields yet
        applied = true;
        shownAddress = address->text();
        Soon([] {
            Child<QRadioButton>(IPConfigForm, "AddrStatic")->click();
            for (auto [field, text] : {std::pair{"IPAddress", StaticAddress},
                                       {"SubnetMask", QString("255.0.0.0")},
                                       {"DefaultGateway", QString()}}) {
                auto *edit = Child<QLineEdit>(IPConfigForm, field);
                edit->clear();
                edit->setCursorPosition(0);
                QTest::keyClicks(edit, text);
            }
            Child<QPushButton>(IPConfigForm, "ApplyButton")->click();
        });
    };
    before = DeviceRow(Device);
    RunCommand("SetIPConfig");
    EXPECT_TRUE(applied);
    EXPECT_EQ(shownAddress, chosen);
    ASSERT_TRUE(sim.WaitForLine("for " + Device.toStdString() + ": now " + StaticAddress.toStdString() + "/8"));
    ASSERT_TRUE(WaitIdle([&] { return DeviceRow(Device) && DeviceRow(Device) != before; }));
    ASSERT_TRUE(ScanDone());
    EXPECT_EQ(DeviceRow(Device)->text(TDeviceForm::ColIPAddress), StaticAddress);
    EXPECT_FALSE(MarkedNotReachable(DeviceRow(Device)));

    // Upgrade: choose the image, send it; the busy device is retried once
    // after the real ten-second pause.
    const QString image = QString::fromStdString(dir.path()) + "/bridge51.bin";
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64 * 1024 + 100, '\x42'));
    }
    DeviceList()->setCurrentItem(DeviceRow(Device));
    int step = 0;
    QString upgradeAddress;
    watcher.onDialog = [&](QWidget *w) {
        if (step == 0 && w == UpgradeForm) {
            step = 1;
            upgradeAddress = UpgradeForm->IPAddressText();
            Soon([] { Child<QPushButton>(UpgradeForm, "ChooseButton")->click(); });
        } else if (auto *files = qobject_cast<QFileDialog *>(w); step == 1 && files) {
            step = 2;
            Soon([files, &dir] {
                files->setDirectory(QString::fromStdString(dir.path()));
                Child<QLineEdit>(files, "fileNameEdit")->setText("bridge51"); // the dialog adds .bin
                static_cast<QDialog *>(files)->accept();
            });
        } else if (step == 2 && w == UpgradeForm && !Child<QLineEdit>(UpgradeForm, "FileName")->text().isEmpty()) {
            // the file dialog has returned and handed over its choice
            step = 3;
            EXPECT_EQ(Child<QLineEdit>(UpgradeForm, "FileName")->text().toStdString(), image.toStdString());
            Soon([] { Child<QPushButton>(UpgradeForm, "UpgradeButton")->click(); });
        }
    };
    QElapsedTimer upgradeTime;
    upgradeTime.start();
    RunCommand("DoUpgrade");
    EXPECT_EQ(step, 3);
    EXPECT_EQ(upgradeAddress, "127.0  .0  .120");
    EXPECT_GE(upgradeTime.elapsed(), 10000);
    EXPECT_FALSE(UpgradeForm->isVisible());
    EXPECT_TRUE(sim.WaitForLine("tftp: " + StaticAddress.toStdString() + " received \"bridge51.bin\", " +
                                std::to_string(64 * 1024 + 100) + " bytes"));
    const QStringList upgradeLines = {"First Upgrade Failed",     "Delay 10 seconds",  "Attempting second upgrade",
                                      "Second upgrade succeeded", "Upgrade succeeded", "Upgrade Failed",
                                      "Second Upgrade Failed"};
    QStringList logged;
    for (const QString &line : LogForm->Lines())
        if (upgradeLines.contains(line))
            logged << line;
    EXPECT_EQ(logged, upgradeLines.mid(0, 4));

    // About, from the Help menu item; the test program carries the version
    // record the way the program file does.
    QString version, caption;
    watcher.onDialog = [&](QWidget *w) {
        if (w != AboutForm || !caption.isEmpty())
            return;
        caption = AboutForm->windowTitle();
        version = Child<QLabel>(AboutForm, "Version")->text();
        Soon([] { Child<QPushButton>(AboutForm, "Button1")->click(); });
    };
    RunCommand("Osmira Inc.");
    EXPECT_EQ(version, "Version: 5.4.0 build 0");
    EXPECT_EQ(caption, DeviceForm->windowTitle());

    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, "Information");
    EXPECT_EQ(watcher.boxes[0].text, "Upgrade succeeded");

    DestroyWindows();
    DebugMode = false;
}

} // namespace
