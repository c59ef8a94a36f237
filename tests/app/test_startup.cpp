// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QApplication>

#include "about.h"
#include "application.h"
#include "apptitle.h"
#include "devicecomm.h"
#include "devices.h"
#include "errors.h"
#include "ipconfig.h"
#include "log.h"
#include "upgrade.h"

namespace {

TEST(ApplicationTitle, IsTheFileNameWithoutDirectoryAndLastExtension)
{
    const struct
    {
        const char *path;
        const char *title;
    } cases[] = {
        {"/usr/bin/netscry", "netscry"},
        {"/opt/tools/net.scry.exe", "net.scry"},
        {"C:\\Program Files\\Tarvex\\Netscry.exe", "Netscry"},
        {"C:Netscry.exe", "Netscry"},
        {"D:\\a.b/c\\my.tool.v2.exe", "my.tool.v2"},
        {"netscry", "netscry"},
        {"/dir.with.dots/netscry", "netscry"},
        {".hidden", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ApplicationTitleFromPath(QString::fromUtf8(c.path)).toStdString(), c.title) << c.path;
}

TEST(DebugSwitch, OnlyAnExactArgumentAfterTheProgramCounts)
{
    const struct
    {
        QStringList args;
        bool debug;
    } cases[] = {
        {{"netscry"}, false},
        {{"netscry", "-d"}, true},
        {{"netscry", "x", "y", "-d"}, true},
        {{"netscry", "-D"}, false},
        {{"netscry", "/d"}, false},
        {{"netscry", "-dx"}, false},
        {{"netscry", " -d"}, false},
        {{"-d"}, false}, // the program path itself is not an argument
    };
    for (const auto &c : cases)
        EXPECT_EQ(HasDebugSwitch(c.args), c.debug) << c.args.join(' ').toStdString();
}

TEST(ErrorBox, FullStopIsAppendedOnlyAfterCharactersAboveIt)
{
    const struct
    {
        QString message;
        QString shown;
    } cases[] = {
        {"IP address must be entered.", "IP address must be entered."},
        {"Out of memory", "Out of memory."},
        {"Failed!", "Failed!"},         // '!' sorts below '.'
        {"Try again -", "Try again -"}, // so does '-'
        {"Error 42", "Error 42."},
        {"Tried /", "Tried /."}, // '/' sorts just above '.'
        {QString::fromUtf8("Gerät ä"), QString::fromUtf8("Gerät ä.")},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ExceptionMessageText(c.message), c.shown) << c.message.toStdString();
}

class StartUp : public ::testing::Test
{
protected:
    void TearDown() override
    {
        DestroyWindows();
        DebugMode = false;
    }
};

TEST_F(StartUp, CreatesTheSixWindowsWithTheMainWindowFirst)
{
    ApplicationTitle = QStringLiteral("netscry");
    CreateWindows();
    ASSERT_TRUE(DeviceForm && UpgradeForm && IPConfigForm && DeviceCommForm && AboutForm && LogForm);
    EXPECT_EQ(DeviceForm->windowTitle(), QStringLiteral("netscry"));
    for (QWidget *w :
         std::initializer_list<QWidget *>{DeviceForm, UpgradeForm, IPConfigForm, DeviceCommForm, AboutForm, LogForm})
        EXPECT_FALSE(w->isVisible()) << w->metaObject()->className();
}

TEST_F(StartUp, ShowsTheLogWindowOnlyInDebugMode)
{
    for (const bool debug : {false, true}) {
        DebugMode = debug;
        CreateWindows();
        ShowWindows();
        EXPECT_TRUE(DeviceForm->isVisible());
        EXPECT_EQ(LogForm->isVisible(), debug);
        DestroyWindows();
    }
}

} // namespace
