// SPDX-License-Identifier: MIT
// Tools > Compare With Saved List... against tvp-devsim's sample LAN: the
// devices the main list shows against a saved list as netscry-cli discover
// --save writes it, unchanged, and saved before one device moved and
// another left; and files that are no saved list.
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

using testsupport::ShownBox;
using testsupport::WaitFor;

namespace {

struct Saved
{
    const char *id, *name, *type, *ip;
};

// devsim/sample-lan.json as discover --save writes it
const Saved SampleLan[] = {
    {"00:1A:2B:00:00:01", "Boiler Room Gateway", "I/O Gateway", "127.0.0.11"},
    {"00:1A:2B:00:00:02", "Line 2 Serial Server", "Serial Server", "127.0.0.12"},
    {"00:1A:2B:00:00:03", "Packing PLC Bridge", "Protocol Converter", "127.0.0.13"},
    {"00:1A:2B:00:00:04", "Dock Door Sensor", "I/O Gateway", "127.0.0.14"},
    {"00:1A:2B:00:00:05", "Warehouse Bridge", "Wireless Bridge", "192.168.77.20"},
    {"00:1A:2B:00:00:06", "Chiller Monitor", "Serial Server", "127.0.0.16"},
    {"00:1A:2B:00:00:07", "Old Firmware Unit", "Serial Server", "127.0.0.17"},
    {"00:1A:2B:00:00:08", "Test Bench Adapter", "Protocol Converter", "127.0.0.18"},
};

class CompareWithSaved : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace (NETSCRY_NETNS=1)";
        mwtest::FakeShell().Reset();
        sim = std::make_unique<testsupport::DevSim>();
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        CreateWindows();
        DeviceForm->show(); // its show event scans
        ASSERT_TRUE(WaitFor(
            [] {
                return testsupport::DeviceList()->topLevelItemCount() == 8
                    && !DeviceForm->ProtocolInterface->DiscoveryTimer->isActive();
            },
            8000));
    }

    void TearDown() override
    {
        DestroyWindows();
        sim.reset();
    }

    QString Write(const char *name, const std::string &text)
    {
        const std::string path = dir.path() + "/" + name;
        std::ofstream(path) << text;
        return QString::fromStdString(path);
    }

    // A saved list of the devices, each on the loopback interface.
    QString WriteSaved(const char *name, const std::vector<Saved> &devices)
    {
        const std::string interfaceText = testsupport::LoopbackInterfaceName() + " (127.0.0.1)";
        std::string json = "[";
        for (const Saved &d : devices)
            json += std::string(json.size() > 1 ? ",\n" : "\n") + "  {\"name\": \"" + d.name + "\", \"type\": \"" +
                    d.type + "\", \"ip\": \"" + d.ip + "\", \"id\": \"" + d.id + "\", \"interface\": \"" +
                    interfaceText + "\", \"reachable\": true}";
        return Write(name, json + "\n]\n");
    }

    // Chooses `path` in the command's file dialog: the one box it showed.
    static ShownBox Compare(const QString &path)
    {
        testsupport::ModalWatcher watcher;
        int typed = 0;
        watcher.onDialog = [&](QWidget *w) {
            auto *files = qobject_cast<QFileDialog *>(w);
            if (!files || !files->isVisible())
                return;
            if (++typed > 1) { // it refused the name: no hang, a failure
                ADD_FAILURE() << "the file dialog did not take " << path.toStdString();
                files->reject();
                return;
            }
            // the name typed, then Open, as a user does
            auto *name = files->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            name->setText(path);
            static_cast<QDialog *>(files)->accept();
        };
        DeviceForm->findChild<QAction *>(QStringLiteral("CompareWithSaved"))->trigger();
        EXPECT_EQ(watcher.boxes.size(), 1u);
        return watcher.boxes.empty() ? ShownBox{} : watcher.boxes.front();
    }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::DevSim> sim;
};

TEST_F(CompareWithSaved, ShowsTheMovedAndTheMissingDeviceAndNothingForAnUnchangedLan)
{
    std::vector<Saved> before(std::begin(SampleLan), std::end(SampleLan));
    before[5].ip = "127.0.0.66"; // Chiller Monitor has moved since
    before.push_back({"00:1a:2b:00:00:99", "Gone Unit", "Serial Server", "127.0.0.99"});
    const std::string on = " on " + testsupport::LoopbackInterfaceName() + " (127.0.0.1)";
    const struct {
        const char *file;
        std::vector<Saved> saved;
        const char *summary; // after "The 8 devices in the list "
        std::string differences;
    } cases[] = {
        {"same.json", {std::begin(SampleLan), std::end(SampleLan)}, "match %1: nothing new, missing, moved or changed.",
         ""},
        {"before.json", before, "against %1: 1 moved, 1 missing.",
         "moved 00:1A:2B:00:00:06 (Chiller Monitor): ip 127.0.0.66 -> 127.0.0.16\n"
         "missing 00:1A:2B:00:00:99 (Gone Unit) Serial Server at 127.0.0.99" + on},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = WriteSaved(c.file, c.saved);
        const ShownBox box = Compare(path);
        EXPECT_EQ(box.title, QStringLiteral("Compare With Saved List"));
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.text.toStdString(), ("The 8 devices in the list " + QString::fromLatin1(c.summary)
                                               .arg(QDir::toNativeSeparators(path))).toStdString());
        EXPECT_EQ(box.informativeText.toStdString(), c.differences);
    }
}

TEST_F(CompareWithSaved, AFileThatIsNoSavedListIsNamedWithItsFault)
{
    const struct {
        const char *file, *text, *fault;
    } cases[] = {
        {"torn.json", "[{\"id\": \"00:1A:2B:00:00:01\", \"name\": \"Boil", "cannot be compared: not JSON"},
        {"noid.json", "[{\"id\": \"00:1A:2B:00:00:01\"}, {\"name\": \"Pump\"}]",
         "cannot be compared: device 2 has no \"id\" that is a MAC address"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = Write(c.file, c.text);
        const ShownBox box = Compare(path);
        EXPECT_EQ(box.icon, QMessageBox::Warning);
        EXPECT_TRUE(box.text.startsWith(QStringLiteral("The saved list %1 %2")
                                            .arg(QDir::toNativeSeparators(path), QString::fromLatin1(c.fault))))
            << box.text.toStdString();
        EXPECT_TRUE(box.text.endsWith(QLatin1String("Save a list with netscry-cli discover --save.")))
            << box.text.toStdString();
    }
    // the list is left as it was
    EXPECT_EQ(testsupport::DeviceList()->topLevelItemCount(), 8);
}

} // namespace
