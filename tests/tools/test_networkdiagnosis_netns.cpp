// SPDX-License-Identifier: MIT
// Tools > Network Diagnosis... on a LAN of namespaces: a device holding
// only its own address and a plain host behind the PC's one working card,
// and a second card that is down. The window says what netscry-cli doctor
// says, while the main list keeps working, and hands its text to the
// clipboard from the keyboard.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>

#include "application.h"
#include "cli_run.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "netns_lan.h"
#include "networkdiagnosis.h"
#include "qt_printers.h"
#include "test_support.h"
#include "tvp.h"

using testsupport::WaitFor;

namespace {

// The lines from "Findings" up to "Interfaces:".
QString FindingsOf(const QString &report)
{
    return report.left(report.indexOf(QLatin1String("Interfaces:")));
}

// Focuses a control of the window as Tab would and presses a key there.
void Press(QWidget *window, const char *name, Qt::Key key)
{
    auto *w = window->findChild<QWidget *>(QLatin1String(name));
    ASSERT_NE(w, nullptr) << name;
    ASSERT_TRUE(WaitFor([&] { return window->isActiveWindow(); }));
    w->setFocus(Qt::TabFocusReason);
    QTest::keyClick(w, key);
}

TEST(NetworkDiagnosisOnALan, ShowsTheDoctorsFindingsBesideAWorkingListAndCopiesThem)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const int segment = lan.AddSegment();
    const std::string pc = lan.AddPcLink(segment, "10.131.0.1/24");
    ASSERT_FALSE(pc.empty());
    ASSERT_FALSE(lan.AddHost(segment, "10.131.0.9/24").empty());
    auto device =
        testsupport::StartLanDevice(lan, segment, {"Dev 31", "02:0D:0C:00:01:31", "10.131.0.20/24", ""}, dir.path());
    ASSERT_TRUE(device);
    const std::string down = lan.AddPcLink(lan.AddSegment(), "10.132.0.1/24");
    ASSERT_TRUE(lan.Run("", "ip link set " + down + " down"));

    // every card of the PC, as a user's program sees them
    setenv("TVP_INTERFACES", "", 1);
    setenv("TVP_PORT", "30718", 1);
    TVPCleanup();
    mwtest::FakeShell().Reset();
    CreateWindows();
    DeviceForm->show(); // its show event scans
    DeviceForm->findChild<QAction *>(QStringLiteral("NetworkDiagnosis"))->trigger();
    ASSERT_NE(NetworkDiagnosisForm, nullptr);
    EXPECT_TRUE(NetworkDiagnosisForm->isVisible());
    ASSERT_TRUE(NetworkDiagnosisForm->IsRunning());

    // the user scans meanwhile: the list fills while the diagnosis runs
    DeviceForm->ScanExecute();
    EXPECT_TRUE(WaitFor([] { return testsupport::DeviceRow(QStringLiteral("Dev 31")) != nullptr; }, 2000));
    EXPECT_TRUE(NetworkDiagnosisForm->IsRunning());

    ASSERT_TRUE(WaitFor([] { return !NetworkDiagnosisForm->IsRunning(); }, 30000));
    const QString report = NetworkDiagnosisForm->ReportText();
    EXPECT_TRUE(report.startsWith(QLatin1String("Findings, most likely cause first:\n  1. "))) << report.toStdString();
    EXPECT_TRUE(report.contains(QString::fromStdString(down + " is down: plug in the cable or enable it")))
        << report.toStdString();
    EXPECT_TRUE(
        report.contains(QString::fromStdString("Devices found: 1\n  10.131.0.20  02:0D:0C:00:01:31  Dev 31  on " + pc)))
        << report.toStdString();
    EXPECT_EQ(NetworkDiagnosisForm->Report().exitCode, 0);

    // the command line, on the same LAN, finds the same
    const clitest::Result cli = clitest::RunCli({"doctor"}, {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", ""}});
    EXPECT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_EQ(FindingsOf(report), FindingsOf(QString::fromStdString(cli.out)));

    // Copy from the keyboard, then Esc closes
    QGuiApplication::clipboard()->clear();
    NetworkDiagnosisForm->activateWindow();
    Press(NetworkDiagnosisForm, "CopyButton", Qt::Key_Return);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), report);
    Press(NetworkDiagnosisForm, "ReportText", Qt::Key_Escape);
    EXPECT_FALSE(NetworkDiagnosisForm->isVisible());

    DestroyWindows();
    EXPECT_EQ(NetworkDiagnosisForm, nullptr);
    TVPCleanup();
}

} // namespace
