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

#include "gui_helpers.h"
#include "singleinstance.h"
#include "test_support.h"

using testsupport::WaitFor;

namespace {

class SingleInstance : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime.isValid());
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

    QProcess *start(const QString &path, const QStringList &args = {})
    {
        auto *p = new QProcess;
        started.push_back(p);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // The scan at start-up stays on loopback, on a port nobody serves.
        env.insert(QStringLiteral("TVP_INTERFACES"), QStringLiteral("lo"));
        env.insert(QStringLiteral("TVP_PORT"), QStringLiteral("9"));
        p->setProcessEnvironment(env);
        p->start(path, args);
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }

    // The first instance is ready once it answers on its socket.
    bool waitUntilListening(const QString &title)
    {
        const QString socket = runtime.path() + QLatin1Char('/') + title + QStringLiteral(".instance");
        return WaitFor([&] { return QFile::exists(socket); }, 10000);
    }

    static QString stderrOf(QProcess *p) { return QString::fromLocal8Bit(p->readAllStandardError()); }

    QTemporaryDir runtime;
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
