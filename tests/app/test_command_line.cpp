// SPDX-License-Identifier: MIT
// The real program on an X server of the test's own: the switch is read
// from the whole command line, and the toolkit is handed none of it.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "gui_helpers.h"
#include "test_support.h"

using testsupport::FakePrograms;
using testsupport::WaitFor;
using testsupport::XServer;

namespace {

TEST(CommandLine, DebugSwitchCountsAfterToolkitOptionsWhichAreIgnored)
{
    XServer x;
    if (!x.Start())
        GTEST_SKIP() << x.Reason().toStdString();
    FakePrograms programs;
    ASSERT_TRUE(programs.IsValid());
    programs.Add(QStringLiteral("ip"), QStringLiteral("exit 0"));
    const QString program = QString::fromStdString(testsupport::BinDir()) + QStringLiteral("/netscry");

    const struct
    {
        QStringList args;
        bool log;
    } cases[] = {
        {{"-style", "-d"}, true},
        {{"-qwindowtitle", "-d"}, true},
        {{"-d", "-platform", "offscreen"}, true}, // still on the display
        {{"-display", ":0", "-d"}, true},
        {{"-d", "-reverse"}, true},
        {{"-style", "fusion"}, false},
        {{"-D"}, false},
        {{}, false},
    };
    for (const auto &c : cases) {
        const std::string what = c.args.join(' ').toStdString();
        QTemporaryDir runtime;
        ASSERT_TRUE(runtime.isValid());
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("DISPLAY"), x.Display());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("TVP_INTERFACES"), QStringLiteral("lo"));
        env.insert(QStringLiteral("TVP_PORT"), QStringLiteral("9"));
        p.setProcessEnvironment(env);
        p.start(program, c.args);
        ASSERT_TRUE(p.waitForStarted(5000)) << what;

        // The main window appears under the program's own name, whatever
        // title or display the toolkit options asked for.
        EXPECT_TRUE(WaitFor([&] { return x.Viewable(QStringLiteral("netscry")) == 1; }, 10000))
            << what << ": " << p.readAllStandardError().toStdString();
        EXPECT_EQ(x.Viewable(QStringLiteral("-d")), 0) << what;
        if (c.log)
            EXPECT_TRUE(WaitFor([&] { return x.Viewable(QStringLiteral("LogForm")) == 1; }, 5000)) << what;
        else
            EXPECT_EQ(x.Viewable(QStringLiteral("LogForm")), 0) << what;
        EXPECT_EQ(p.state(), QProcess::Running) << what;

        p.terminate();
        ASSERT_TRUE(p.waitForFinished(5000)) << what;
        ASSERT_TRUE(WaitFor([&] { return x.Viewable(QStringLiteral("netscry")) == 0; }, 5000));
    }
}

} // namespace
