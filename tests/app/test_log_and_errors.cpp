// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include <stdexcept>

#include "apptitle.h"
#include "errors.h"
#include "gui_helpers.h"
#include "log.h"

using testsupport::ModalWatcher;
using testsupport::WaitFor;

namespace {

class Log : public ::testing::Test
{
protected:
    void TearDown() override
    {
        delete LogForm;
        LogForm = nullptr;
        DebugMode = false;
    }
};

TEST_F(Log, LinesAreKeptInOrderOnlyInDebugMode)
{
    LogForm = new TLogForm;
    DebugMode = false;
    LogLine(QStringLiteral("ignored"));
    EXPECT_TRUE(LogForm->Lines().isEmpty());

    DebugMode = true;
    LogLine(QStringLiteral("Device Comm opened"));
    LogLine(QString());
    LogLine(QStringLiteral("Got IP"));
    EXPECT_EQ(LogForm->Lines(), (QStringList{"Device Comm opened", "", "Got IP"}));
    EXPECT_FALSE(LogForm->isVisible()) << "a line never shows the window";
}

TEST_F(Log, LineBeforeTheWindowExistsIsDropped)
{
    DebugMode = true;
    LogLine(QStringLiteral("too early")); // must not fault
    LogForm = new TLogForm;
    EXPECT_TRUE(LogForm->Lines().isEmpty());
}

TEST_F(Log, LinesKeepArrivingAfterTheUserClosedTheWindow)
{
    DebugMode = true;
    LogForm = new TLogForm;
    LogForm->show();
    LogForm->close();
    EXPECT_FALSE(LogForm->isVisible());
    LogLine(QStringLiteral("after close"));
    EXPECT_EQ(LogForm->Lines(), QStringList{"after close"});
}

TEST(ErrorBox, ErrorEscapingAHandlerIsShownAndTheProgramGoesOn)
{
    ApplicationTitle = QStringLiteral("netscry");
    QPushButton button(QStringLiteral("Throw"));
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        throw std::runtime_error("Device went away");
    });
    button.show();

    ModalWatcher watcher;
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !watcher.boxes.empty(); }));
    const auto &box = watcher.boxes.front();
    EXPECT_EQ(box.title, QStringLiteral("netscry"));
    EXPECT_EQ(box.text, QStringLiteral("Device went away."));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons.size(), 1);

    // Still alive and still handling input.
    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return watcher.boxes.size() == 2; }));
    EXPECT_EQ(clicks, 2);
}

TEST(ErrorBox, InputErrorRaisedInsideRunHandlerIsShownUnchanged)
{
    ApplicationTitle = QStringLiteral("Netscry");
    ModalWatcher watcher;
    bool after = false;
    RunHandler([] { throw EInputError("IP address must be entered."); });
    after = true;
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].title, QStringLiteral("Netscry"));
    EXPECT_EQ(watcher.boxes[0].text, QStringLiteral("IP address must be entered."));
    EXPECT_TRUE(after);
}

} // namespace
