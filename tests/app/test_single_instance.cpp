// SPDX-License-Identifier: MIT
// Two real instances of the program, offscreen, each with a private
// runtime directory so that parallel tests do not meet.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <functional>

#include "gui_helpers.h"
#include "singleinstance.h"
#include "test_support.h"

using testsupport::WaitFor;
using testsupport::XServer;

namespace {

class SingleInstance : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime.isValid());
        ASSERT_TRUE(programs.IsValid());
        // the scan at start-up flushes through this stand-in, never the real ip
        programs.Add(QStringLiteral("ip"), QStringLiteral("exit 0"));
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        program = QString::fromStdString(testsupport::BinDir()) + QStringLiteral("/netscry");
        ASSERT_TRUE(QFile::exists(program)) << program.toStdString();
    }

    void TearDown() override
    {
        for (QProcess *p : started) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
    }

    QProcess *start(const QString &path, const QStringList &args = {}, const QString &display = QString(),
                    const std::function<void(QProcessEnvironment &)> &adjust = nullptr)
    {
        auto *p = new QProcess;
        started.push_back(p);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        if (display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        } else {
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        // The scan at start-up stays on loopback, on a port nobody serves.
        env.insert(QStringLiteral("TVP_INTERFACES"), QStringLiteral("lo"));
        env.insert(QStringLiteral("TVP_PORT"), QStringLiteral("9"));
        if (adjust)
            adjust(env);
        p->setProcessEnvironment(env);
        p->start(path, args);
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }

    // The first instance is ready once it answers on its socket.
    bool waitUntilListening(const QString &title, int count = 1)
    {
        return WaitFor([&] { return sockets(title).size() == count; }, 10000);
    }
    QStringList sockets(const QString &title) const
    {
        return QDir(runtime.path()).entryList({title + QStringLiteral("-*.instance")}, QDir::System);
    }

    static QString stderrOf(QProcess *p) { return QString::fromLocal8Bit(p->readAllStandardError()); }

    QTemporaryDir runtime;
    testsupport::FakePrograms programs;
    QString program;
    std::vector<QProcess *> started;
};

TEST_F(SingleInstance, SecondStartBringsTheFirstForwardAndEnds)
{
    QProcess *first = start(program, {QStringLiteral("-d")});
    ASSERT_TRUE(waitUntilListening(QStringLiteral("netscry")));

    QProcess *second = start(program);
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(stderrOf(second).contains(QLatin1String("brought the running instance forward")))
        << stderrOf(second).toStdString();
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(SingleInstance, CopyUnderAnotherNameIsExcludedButBringsNothingForward)
{
    const QString copy = runtime.path() + QStringLiteral("/othertool.bin");
    ASSERT_TRUE(QFile::copy(program, copy));
    QProcess *first = start(program);
    ASSERT_TRUE(waitUntilListening(QStringLiteral("netscry")));

    QProcess *second = start(copy);
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    const QString err = stderrOf(second);
    EXPECT_TRUE(err.contains(QLatin1String("another instance is running"))) << err.toStdString();
    EXPECT_FALSE(err.contains(QLatin1String("brought"))) << err.toStdString();
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(SingleInstance, CrashedFirstInstanceDoesNotBlockTheNextStart)
{
    QProcess *first = start(program);
    ASSERT_TRUE(waitUntilListening(QStringLiteral("netscry")));
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    ASSERT_TRUE(first->waitForFinished(5000));

    // The new instance runs as the first one, socket left behind or not...
    QProcess *next = start(program);
    EXPECT_FALSE(next->waitForFinished(1500)) << stderrOf(next).toStdString();
    EXPECT_EQ(next->state(), QProcess::Running);
    // ...and answers the instance after it.
    QProcess *third = start(program);
    ASSERT_TRUE(third->waitForFinished(10000));
    EXPECT_TRUE(stderrOf(third).contains(QLatin1String("brought the running instance forward")));
}

// Each desktop session has its instance: the same user on a second display
// gets a program of its own there, and a second start on the first display
// still brings the first one forward.
TEST_F(SingleInstance, OnePerDisplayOfTheSameUser)
{
    XServer first, second;
    if (!first.Start())
        GTEST_SKIP() << first.Reason().toStdString();
    if (!second.Start())
        GTEST_SKIP() << second.Reason().toStdString();

    QProcess *a = start(program, {}, first.Display());
    ASSERT_TRUE(WaitFor([&] { return first.Viewable(QStringLiteral("netscry")) == 1; }, 10000))
        << stderrOf(a).toStdString();
    ASSERT_TRUE(waitUntilListening(QStringLiteral("netscry")));

    QProcess *b = start(program, {}, second.Display());
    EXPECT_TRUE(WaitFor([&] { return second.Viewable(QStringLiteral("netscry")) == 1; }, 10000))
        << stderrOf(b).toStdString();
    EXPECT_EQ(b->state(), QProcess::Running);
    EXPECT_TRUE(waitUntilListening(QStringLiteral("netscry"), 2));

    // the same display under another screen number is the same session
    QString sameDisplay = first.Display() + QStringLiteral(".0");
    QProcess *c = start(program, {}, sameDisplay);
    ASSERT_TRUE(c->waitForFinished(10000));
    EXPECT_EQ(c->exitCode(), 0);
    EXPECT_TRUE(stderrOf(c).contains(QLatin1String("brought the running instance forward")));
    EXPECT_EQ(first.Viewable(QStringLiteral("netscry")), 1);
    EXPECT_EQ(second.Viewable(QStringLiteral("netscry")), 1);
    EXPECT_EQ(a->state(), QProcess::Running);
    EXPECT_EQ(b->state(), QProcess::Running);
}

// Without XDG_RUNTIME_DIR the toolkit's fallback directory serves, and its
// warning comes once; with no place for the lock at all the program says so
// once and runs.
TEST_F(SingleInstance, RuntimeDirectoryFallbacksWarnOnce)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString notADirectory = temp.filePath(QStringLiteral("plain-file"));
    {
        QFile f(notADirectory);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const struct
    {
        const char *what;
        QString runtimeDir; // empty: unset
        QString tmpDir;
        const char *once;
        bool excludes; // a second start is turned away
    } cases[] = {
        {"unset", QString(), temp.path(), "XDG_RUNTIME_DIR", true},
        {"nowhere", notADirectory + QStringLiteral("/run"), notADirectory, "single-instance lock", false},
    };
    for (const auto &c : cases) {
        const auto adjust = [&](QProcessEnvironment &env) {
            if (c.runtimeDir.isEmpty())
                env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            else
                env.insert(QStringLiteral("XDG_RUNTIME_DIR"), c.runtimeDir);
            env.insert(QStringLiteral("TMPDIR"), c.tmpDir);
        };
        QProcess *first = start(program, {}, QString(), adjust);
        // running: it stays up
        EXPECT_FALSE(first->waitForFinished(2000)) << c.what;
        QProcess *second = start(program, {}, QString(), adjust);
        const bool ended = second->waitForFinished(c.excludes ? 10000 : 2000);
        EXPECT_EQ(ended, c.excludes) << c.what;
        for (QProcess *p : {first, second}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            const QString err = stderrOf(p);
            EXPECT_LE(err.count(QLatin1String(c.once)), 1) << c.what << ": " << err.toStdString();
            if (!c.excludes) {
                EXPECT_EQ(err.count(QLatin1String(c.once)), 1) << c.what << ": " << err.toStdString();
            }
        }
    }
}

TEST(SessionKey, OneDisplayOneKeyAndNeverAPath)
{
    const struct
    {
        const char *platform;
        const char *display;
        const char *key;
    } cases[] = {
        {"xcb", ":0", "xcb_0"},
        {"xcb", ":0.0", "xcb_0"},
        {"xcb", ":0.1", "xcb_0"},
        {"xcb", "unix:0", "xcb_0"},
        {"xcb", ":1", "xcb_1"},
        {"xcb", "host.example:10.0", "xcbhost_example_10"},
        {"wayland", "wayland-0", "waylandwayland-0"},
        {"wayland", "../../x", "wayland______x"},
        {"offscreen", "", "offscreen"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SessionKey(QString::fromLatin1(c.platform), QString::fromLatin1(c.display)).toStdString(), c.key)
            << c.platform << " " << c.display;
}

TEST(BringWindowForward, RestoresAMinimisedWindowAndRaisesItsDialog)
{
    QMainWindow main;
    main.showMinimized();
    ASSERT_TRUE(WaitFor([&] { return main.isMinimized(); }));
    QDialog dialog(&main);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();

    BringWindowForward(&main);
    EXPECT_FALSE(main.isMinimized());
    EXPECT_TRUE(main.isVisible());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == &dialog; }, 2000));
}

} // namespace
