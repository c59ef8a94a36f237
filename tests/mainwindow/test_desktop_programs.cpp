// SPDX-License-Identifier: MIT
// The platform's own shell against stand-in programs on PATH: the opener
// whose exit says whether a browser came up, and the neighbour-table flush
// limited to the library's interfaces.
#include <gtest/gtest.h>

#include <QAction>
#include <QTreeWidget>

#include <memory>

#include "devices.h"
#include "gui_helpers.h"
#include "log.h"
#include "mainwindow_support.h"
#include "tvp.h"
#include "tvpinterface.h"

using mwtest::DeviceList;
using mwtest::FakeShell;
using testsupport::FakePrograms;
using testsupport::ModalWatcher;
using testsupport::WaitFor;

namespace {

// The platform's shell for one test, with the stand-ins first on PATH.
class DesktopPrograms : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(programs.IsValid());
        SetShell(nullptr);
    }
    void TearDown() override
    {
        SetShell(&FakeShell());
        DebugMode = false;
        delete LogForm;
        LogForm = nullptr;
    }

    FakePrograms programs;
};

TEST_F(DesktopPrograms, WebReportsAnOpenerThatFailsAfterItStarted)
{
    const struct
    {
        const char *script;
        bool reported;
    } cases[] = {
        {"exit 0", false},
        {"exit 3", true}, // xdg-open: no browser configured
        {"sleep 0.3; exit 4", true},
        {"kill -9 $$", true},
    };
    for (const auto &c : cases) {
        programs.Add(QStringLiteral("xdg-open"), QString::fromLatin1(c.script));
        TDeviceForm form;
        auto *row = new QTreeWidgetItem(DeviceList(form), {"Node", "T", "192.168.0.5", "id", "lo"});
        DeviceList(form)->setCurrentItem(row);
        ModalWatcher watcher;
        const int callsBefore = int(programs.Calls(QStringLiteral("xdg-open")).size());

        form.WebserverExecute();
        // The window is not held up while the opener runs.
        EXPECT_TRUE(watcher.boxes.empty()) << c.script;
        EXPECT_TRUE(WaitFor([&] { return programs.Calls(QStringLiteral("xdg-open")).size() == callsBefore + 1; }))
            << c.script;
        EXPECT_EQ(programs.Calls(QStringLiteral("xdg-open")).last(), "http://192.168.0.5/");
        if (c.reported) {
            ASSERT_TRUE(WaitFor([&] { return !watcher.boxes.empty(); })) << c.script;
            EXPECT_EQ(watcher.boxes[0].text, "An error occured. Please open http://192.168.0.5/ from your browser.");
        } else {
            // a success has no answer to wait for: give a failure its chance
            WaitFor([&] { return !watcher.boxes.empty(); }, 800);
            EXPECT_TRUE(watcher.boxes.empty()) << c.script;
        }
    }
}

TEST_F(DesktopPrograms, AnURLWithoutAHostNeverReachesTheOpener)
{
    programs.Add(QStringLiteral("xdg-open"), QStringLiteral("exit 0"));
    for (const char *url : {"http:///", "http://<b>x</b>/", "http:// /"}) {
        int answers = 0;
        bool opened = true;
        CurrentShell().OpenURL(QString::fromLatin1(url), [&](bool ok) {
            ++answers;
            opened = ok;
        });
        ASSERT_TRUE(WaitFor([&] { return answers > 0; })) << url;
        EXPECT_FALSE(opened) << url;
        EXPECT_EQ(answers, 1) << url;
    }
    EXPECT_TRUE(programs.Calls(QStringLiteral("xdg-open")).isEmpty());
}

TEST_F(DesktopPrograms, HomepagesIgnoresAFailingOpener)
{
    programs.Add(QStringLiteral("xdg-open"), QStringLiteral("exit 1"));
    TDeviceForm form;
    ModalWatcher watcher;
    form.findChild<QAction *>(QStringLiteral("Action1"))->trigger();
    ASSERT_TRUE(WaitFor([&] { return !programs.Calls(QStringLiteral("xdg-open")).isEmpty(); }));
    WaitFor([&] { return !watcher.boxes.empty(); }, 500);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(DesktopPrograms, ScanFlushesOnlyTheLibrarysInterfaces)
{
    programs.Add(QStringLiteral("ip"), QStringLiteral("exit 0"));
    qputenv("TVP_INTERFACES", "lo");
    TVPCleanup();
    DebugMode = true;
    LogForm = new TLogForm;
    TDeviceForm form;
    form.ScanExecute();
    ASSERT_TRUE(WaitFor([&] { return !programs.Calls(QStringLiteral("ip")).isEmpty(); }));
    WaitFor([&] { return programs.Calls(QStringLiteral("ip")).size() > 1; }, 300);
    EXPECT_EQ(programs.Calls(QStringLiteral("ip")), QStringList{"neigh flush dev lo"});
    EXPECT_FALSE(LogForm->Lines().join('\n').contains("flush")) << LogForm->Lines().join('\n').toStdString();
}

TEST_F(DesktopPrograms, AFlushRefusedForWantOfPrivilegeIsOneLogLineInDebugModeOnly)
{
    programs.Add(QStringLiteral("ip"),
                 QStringLiteral("echo 'Failed to send flush request: Operation not permitted' >&2\nexit 1"));
    qputenv("TVP_INTERFACES", "lo");
    TVPCleanup();
    LogForm = new TLogForm;
    for (const bool debug : {false, true}) {
        DebugMode = debug;
        TDeviceForm form;
        const QStringList before = LogForm->Lines();
        const auto calls = programs.Calls(QStringLiteral("ip")).size();
        form.ScanExecute();
        ASSERT_TRUE(WaitFor([&] { return programs.Calls(QStringLiteral("ip")).size() > calls; }));
        // the line comes once the program has ended
        const auto refusals = [&] {
            QStringList lines = LogForm->Lines().mid(before.size());
            lines.erase(
                std::remove_if(lines.begin(), lines.end(), [](const QString &l) { return !l.contains("neighbour"); }),
                lines.end());
            return lines;
        };
        WaitFor([&] { return !refusals().isEmpty(); }, debug ? 3000 : 500);
        // a second line would come soon after the first
        WaitFor([&] { return refusals().size() > 1; }, 300);
        const QStringList added = refusals();
        if (!debug) {
            EXPECT_TRUE(added.isEmpty());
            continue;
        }
        ASSERT_EQ(added.size(), 1) << LogForm->Lines().join('\n').toStdString();
        EXPECT_TRUE(added[0].contains("lo")) << added[0].toStdString();
        EXPECT_TRUE(added[0].contains("Operation not permitted")) << added[0].toStdString();
    }
}

TEST(Capabilities, EffectiveSetIsReadFromTheStatusText)
{
    const struct
    {
        const char *status;
        int capability;
        bool granted;
    } cases[] = {
        {"Name:\tnetscry\nCapInh:\t0000000000000000\nCapEff:\t000001ffffffffff\n", 12, true},
        {"CapPrm:\t0000000000001000\nCapEff:\t0000000000000000\n", 12, false}, // permitted is not effective
        {"CapEff:\t0000000000001000\n", 12, true},
        {"CapEff:\t0000000000002000\n", 12, false},
        {"CapEff:\t0000000000001000", 12, true}, // last line without newline
        {"Name:\tnetscry\n", 12, false},
        {"CapEff:\tzz\n", 12, false},
        {"CapEff:\t8000000000000000\n", 63, true},
        {"CapEff:\tffffffffffffffff\n", 64, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HasEffectiveCapability(QString::fromLatin1(c.status), c.capability), c.granted) << c.status;
}

} // namespace
