// SPDX-License-Identifier: MIT
// Tools > Compare With Saved List... against tvp-devsim's sample LAN: the
// main list against a saved list as netscry-cli discover --save writes it,
// unchanged and saved before one device moved and another left; and files
// that are no saved list, named with their fault.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTreeWidget>

#include <fstream>
#include <memory>
#include <string>

#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "test_support.h"
#include "tvpinterface.h"

using testsupport::WaitFor;

namespace {

// devsim/sample-lan.json as discover --save writes it, with %1 for Chiller
// Monitor's address and %2 for the loopback interface
const char *const SavedSample = R"([
{"name": "Boiler Room Gateway", "type": "I/O Gateway", "ip": "127.0.0.11", "id": "00:1A:2B:00:00:01", "interface": "%2"},
{"name": "Line 2 Serial Server", "type": "Serial Server", "ip": "127.0.0.12", "id": "00:1A:2B:00:00:02", "interface": "%2"},
{"name": "Packing PLC Bridge", "type": "Protocol Converter", "ip": "127.0.0.13", "id": "00:1A:2B:00:00:03", "interface": "%2"},
{"name": "Dock Door Sensor", "type": "I/O Gateway", "ip": "127.0.0.14", "id": "00:1A:2B:00:00:04", "interface": "%2"},
{"name": "Warehouse Bridge", "type": "Wireless Bridge", "ip": "192.168.77.20", "id": "00:1A:2B:00:00:05", "interface": "%2"},
{"name": "Chiller Monitor", "type": "Serial Server", "ip": "%1", "id": "00:1A:2B:00:00:06", "interface": "%2"},
{"name": "Old Firmware Unit", "type": "Serial Server", "ip": "127.0.0.17", "id": "00:1A:2B:00:00:07", "interface": "%2"},
{"name": "Test Bench Adapter", "type": "Protocol Converter", "ip": "127.0.0.18", "id": "00:1A:2B:00:00:08", "interface": "%2"}%3
])";

// Chooses `path` in the command's file dialog as a user does (the name
// typed, then Open): the one box the command then showed.
testsupport::ShownBox Compare(const QString &path)
{
    testsupport::ModalWatcher watcher;
    int shown = 0;
    watcher.onDialog = [&](QWidget *w) {
        auto *files = qobject_cast<QFileDialog *>(w);
        if (!files || !files->isVisible())
            return;
        if (++shown > 1) { // it refused the name: a failure, not a hang
            ADD_FAILURE() << "the file dialog did not take " << path.toStdString();
            files->reject();
            return;
        }
        files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(files)->accept();
    };
    DeviceForm->findChild<QAction *>(QStringLiteral("CompareWithSaved"))->trigger();
    EXPECT_EQ(watcher.boxes.size(), 1u);
    return watcher.boxes.empty() ? testsupport::ShownBox{} : watcher.boxes.front();
}

TEST(CompareWithSaved, ShowsMovedAndMissingDevicesNothingForTheSameLanAndAFaultyFilesFault)
{
    if (!testsupport::InPrivateNetns())
        GTEST_SKIP() << "needs the private network namespace (NETSCRY_NETNS=1)";
    testsupport::DevSim sim;
    ASSERT_TRUE(sim.Start());
    sim.UseFromThisProcess();
    CreateWindows();
    DeviceForm->show(); // its show event scans
    ASSERT_TRUE(WaitFor(
        [] {
            return testsupport::DeviceList()->topLevelItemCount() == 8 &&
                   !DeviceForm->ProtocolInterface->DiscoveryTimer->isActive();
        },
        8000));

    const QString lo = QString::fromStdString(testsupport::LoopbackInterfaceName()) + " (127.0.0.1)";
    const QString sample = QString::fromLatin1(SavedSample).arg(QStringLiteral("127.0.0.16"), lo, QString());
    const QString before = QString::fromLatin1(SavedSample).arg(QStringLiteral("127.0.0.66"), lo, QStringLiteral(R"(,
{"name": "Gone Unit", "type": "Serial Server", "ip": "127.0.0.99", "id": "00:1a:2b:00:00:99"})"));
    const struct
    {
        const char *file;
        QString text;
        QMessageBox::Icon icon;
        QString shown;  // after "The 8 devices in the list " or "The saved list "; %1 the file
        QString listed; // the differences
    } cases[] = {
        {"same.json", sample, QMessageBox::Information, "match %1: nothing new, missing, moved or changed.", ""},
        {"before.json", before, QMessageBox::Information, "against %1: 1 moved, 1 missing.",
         "moved 00:1A:2B:00:00:06 (Chiller Monitor): ip 127.0.0.66 -> 127.0.0.16\n"
         "missing 00:1A:2B:00:00:99 (Gone Unit) Serial Server at 127.0.0.99"},
        {"torn.json", sample.left(200), QMessageBox::Warning, "%1 cannot be compared: not JSON: ", ""},
        {"noid.json", R"([{"id": "00:1A:2B:00:00:01"}, {"name": "Pump"}])", QMessageBox::Warning,
         "%1 cannot be compared: device 2 has no \"id\" that is a MAC address such as 00:1A:2B:3C:4D:5E. "
         "Save a list with netscry-cli discover --save.",
         ""},
    };
    testsupport::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = QString::fromStdString(dir.path() + "/" + c.file);
        std::ofstream(path.toStdString()) << c.text.toStdString();
        const testsupport::ShownBox box = Compare(path);
        EXPECT_EQ(box.title.toStdString(), "Compare With Saved List");
        EXPECT_EQ(box.icon, c.icon);
        const QString start = c.icon == QMessageBox::Warning ? "The saved list " : "The 8 devices in the list ";
        EXPECT_TRUE(box.text.startsWith(start + c.shown.arg(QDir::toNativeSeparators(path)))) << box.text.toStdString();
        EXPECT_EQ(box.informativeText.toStdString(), c.listed.toStdString());
    }
    EXPECT_EQ(testsupport::DeviceList()->topLevelItemCount(), 8); // the list is left as it was
    DestroyWindows();
}

} // namespace
