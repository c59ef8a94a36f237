// SPDX-License-Identifier: MIT
// The communication wait dialog on its own: time-out, cancel, and the rule
// that every wait starts without a result.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "devicecomm.h"
#include "gui_helpers.h"
#include "ipconfig_support.h"

using namespace iptest;

namespace {

class WaitDialog : public ::testing::Test
{
protected:
    void SetUp() override { EnsureWindows(); }

    // Runs one wait, ending it with `end` once the loop runs (after
    // `afterMs`); returns the result and how long it took.
    std::pair<int, qint64> RunWait(int afterMs, std::function<void()> end)
    {
        QElapsedTimer clock;
        Script script;
        script.When([&] { return DeviceCommForm->IsWaiting() && clock.elapsed() >= afterMs; }, end);
        clock.start();
        const int result = DeviceCommForm->exec();
        return {result, clock.elapsed()};
    }

    QMessageBox *OpenBox() const { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); }
};

TEST_F(WaitDialog, ReplyEndsTheWaitWithOkAndStopsTheBar)
{
    const auto [result, ms] = RunWait(1000, [] { DeviceCommForm->SetModalResult(mrOk); });
    EXPECT_EQ(result, mrOk);
    EXPECT_LT(ms, 2000);
    EXPECT_FALSE(DeviceCommForm->isVisible());
    EXPECT_FALSE(DeviceCommForm->ComTimer->isActive());
    // the bar stays where the reply found it
    const int stoppedAt = WaitProgress()->value();
    EXPECT_GE(stoppedAt, 5);
    EXPECT_LE(stoppedAt, 15);
    QTest::qWait(300);
    EXPECT_EQ(WaitProgress()->value(), stoppedAt);
}

TEST_F(WaitDialog, CancelEscAndCloseBoxEachReturnCancelAtOnceWithoutMessage)
{
    const std::vector<std::pair<const char *, std::function<void()>>> ways = {
        {"Cancel button", [] { DeviceCommForm->findChild<QPushButton *>(QStringLiteral("CancelButton"))->click(); }},
        {"Esc", [] { QTest::keyClick(DeviceCommForm, Qt::Key_Escape); }},
        {"close box", [] { DeviceCommForm->close(); }},
    };
    for (const auto &[name, way] : ways) {
        SCOPED_TRACE(name);
        testsupport::ModalWatcher watcher;
        const auto [result, ms] = RunWait(200, way);
        EXPECT_EQ(result, mrCancel);
        EXPECT_LT(ms, 1500);
        EXPECT_TRUE(watcher.boxes.empty());
        EXPECT_FALSE(DeviceCommForm->ComTimer->isActive());
    }
}

TEST_F(WaitDialog, NoReplyShowsFailureBoxWithFullBarAfterThreeSecondsThenCancel)
{
    QElapsedTimer clock;
    qint64 boxAfter = -1;
    int barAtBox = -1;
    bool timerAtBox = true;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::Information;
    QStringList buttons;
    bool applicationModal = false;
    Script script;
    script.When([&] { return OpenBox() != nullptr; },
                [&] {
                    QMessageBox *box = OpenBox();
                    boxAfter = clock.elapsed();
                    barAtBox = WaitProgress()->value();
                    timerAtBox = DeviceCommForm->ComTimer->isActive();
                    title = box->windowTitle();
                    text = box->text();
                    icon = box->icon();
                    for (auto *b : box->buttons())
                        buttons << b->text();
                    applicationModal = box->windowModality() == Qt::ApplicationModal;
                    box->buttons().first()->click();
                });
    clock.start();
    const int result = DeviceCommForm->exec();

    EXPECT_EQ(result, mrCancel);
    EXPECT_GE(boxAfter, 2800);
    EXPECT_LE(boxAfter, 4500);
    EXPECT_EQ(barAtBox, 30);
    EXPECT_FALSE(timerAtBox);
    EXPECT_EQ(title, "Failure");
    EXPECT_EQ(text, "Communication Failed");
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(buttons, QStringList{"OK"});
    EXPECT_TRUE(applicationModal);
}

TEST_F(WaitDialog, ReplyWhileFailureBoxIsOpenStillEndsInCancel)
{
    Script script;
    script.When([&] { return OpenBox() != nullptr; }, [] { DeviceCommForm->SetModalResult(mrOk); })
        .Then([] { DeviceCommForm->done(mrOk); })
        .Then([&] {
            // the dialog stays behind the box until the user dismisses it
            EXPECT_TRUE(DeviceCommForm->isVisible());
            OpenBox()->buttons().first()->click();
        });
    EXPECT_EQ(DeviceCommForm->exec(), mrCancel);
    EXPECT_TRUE(script.Finished());
}

TEST_F(WaitDialog, TwoWaitsInARowEachStartAtZeroWithAFullThreeSecondsAndALogLine)
{
    const int opened = LogCount("Device Comm opened");
    const auto first = RunWait(500, [] { DeviceCommForm->SetModalResult(mrCancel); });
    EXPECT_EQ(first.first, mrCancel);
    EXPECT_GE(WaitProgress()->value(), 3);

    int barAtStart = -1;
    testsupport::ModalWatcher watcher;
    Script script;
    script.When([] { return DeviceCommForm->IsWaiting(); }, [&] { barAtStart = WaitProgress()->value(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(DeviceCommForm->exec(), mrCancel);
    EXPECT_GE(clock.elapsed(), 2800);
    EXPECT_LE(barAtStart, 1);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, "Communication Failed");
    EXPECT_EQ(LogCount("Device Comm opened"), opened + 2);
}

TEST_F(WaitDialog, OkSetWhileHiddenDoesNotEndTheNextWait)
{
    ASSERT_FALSE(DeviceCommForm->isVisible());
    // a late reply to an earlier wait
    DeviceCommForm->SetModalResult(mrOk);
    DeviceCommForm->done(mrOk);
    DeviceCommForm->accept();
    const auto [result, ms] = RunWait(300, [] { DeviceCommForm->reject(); });
    EXPECT_EQ(result, mrCancel);
    EXPECT_GE(ms, 300);
}

TEST_F(WaitDialog, OkSetDuringTheShowEventIsDiscardedAndTheDialogStaysUp)
{
    // a reply handled before the modal loop begins, as from inside the show
    struct OnShow : QObject
    {
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Show) {
                DeviceCommForm->SetModalResult(mrOk);
                DeviceCommForm->done(mrOk);
            }
            return false;
        }
    } onShow;
    DeviceCommForm->installEventFilter(&onShow);
    bool visibleInLoop = false;
    const auto [result, ms] = RunWait(300, [&] {
        visibleInLoop = DeviceCommForm->isVisible();
        DeviceCommForm->reject();
    });
    DeviceCommForm->removeEventFilter(&onShow);
    EXPECT_TRUE(visibleInLoop);
    EXPECT_EQ(result, mrCancel);
    EXPECT_GE(ms, 300);
}

} // namespace
