// SPDX-License-Identifier: MIT
// The flash upgrade dialog against a scripted library: enabling rule,
// address handling, the outcomes of a run, the retry pause and the bar.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "gui_helpers.h"
#include "log.h"
#include "qt_printers.h"
#include "test_support.h"
#include "tvp.h"
#include "tvpinterface.h"
#include "upgrade.h"

namespace {

using testsupport::ModalWatcher;
using testsupport::WaitFor;

const QString EmptyAddress = QStringLiteral("   .   .   .   ");

// Lets the event loop go idle once, which is when the enabling rule runs.
void GoIdle()
{
    QEventLoop loop;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
}

void SendUpgradeEvent(uint32_t kind, int32_t value, uint32_t code = TVPEventUpgrade)
{
    const TVPUpgradeRecord record{kind, value};
    HandleUpgradeEvent(code, &record);
}

// The library's answers and the clock are the test's.
class UpgradeFormTest : public ::testing::Test, public TUpgradeSystem
{
protected:
    void SetUp() override
    {
        DebugMode = true;
        LogForm = new TLogForm;
        UpgradeForm = &form;
        form.SetSystem(this);
    }

    int32_t UpgradeDevice(const char *path, const char *address) override
    {
        calls.push_back({path, address});
        const size_t n = calls.size();
        if (duringCall)
            duringCall(n);
        return n <= results.size() ? results[n - 1] : int32_t(TVPUpgradeOK);
    }
    uint32_t TickCount() override { return now; }
    void Sleep(unsigned ms) override
    {
        ++sleeps;
        if (duringSleep)
            duringSleep();
        now += tickPerSleep ? tickPerSleep : ms;
    }

    void TearDown() override
    {
        UpgradeForm = nullptr;
        delete LogForm;
        DebugMode = false;
    }

    template <typename T>
    T *child(const char *name)
    {
        T *w = form.findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QLineEdit *fileName() { return child<QLineEdit>("FileName"); }
    QLineEdit *address() { return child<QLineEdit>("IPAddress"); }
    QPushButton *upgradeButton() { return child<QPushButton>("UpgradeButton"); }
    QPushButton *cancelButton() { return child<QPushButton>("CancelButton"); }
    QProgressBar *progress() { return child<QProgressBar>("Progress"); }

    // Shows the dialog with both fields filled, ready to upgrade.
    void ShowReady(const QString &file = QStringLiteral("/tmp/fw.bin"),
                   const QString &addr = QStringLiteral("10.1.2.3"))
    {
        fileName()->setText(file);
        form.SetIPAddressText(addr);
        form.show();
        GoIdle();
        ASSERT_TRUE(upgradeButton()->isEnabled());
    }

    void ClickUpgrade() { QTest::mouseClick(upgradeButton(), Qt::LeftButton); }

    TUpgradeForm form;
    std::vector<int32_t> results;
    std::vector<std::pair<std::string, std::string>> calls;
    std::function<void(size_t)> duringCall;
    std::function<void()> duringSleep;
    uint32_t now = 1000;
    uint32_t tickPerSleep = 0;
    int sleeps = 0;
};

TEST(CompactAddressText, DropsBlanksLeadingAndRepeatedDots)
{
    const struct
    {
        QString in;
        QString out;
    } cases[] = {
        {"192.168.1  .20 ", "192.168.1.20"},
        {"   .   .   .   ", ""},
        {"10 .   .   .   ", "10."},
        {" 10.   .  0.  1", "10.0.1"},
        {"", ""},
        {"...1", "1"},
        {"1.2.3.4.", "1.2.3.4."},
        {"1 2", "12"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CompactAddressText(c.in), c.out) << c.in.toStdString();
}

TEST_F(UpgradeFormTest, AddressGroupsGoLeftAlignedIntoTheirSlots)
{
    const struct
    {
        QString set;
        QString shown;
    } cases[] = {
        {"10.1.2.3", "10 .1  .2  .3  "},
        {"192.168.100.200", "192.168.100.200"},
        {"", EmptyAddress},
        {"1.22.3.44", "1  .22 .3  .44 "},
    };
    for (const auto &c : cases) {
        form.SetIPAddressText(c.set);
        EXPECT_EQ(form.IPAddressText(), c.shown) << c.set.toStdString();
    }
}

TEST_F(UpgradeFormTest, EnablingRuleActsOnTheButtonAtIdle)
{
    const struct
    {
        const char *what;
        QString file;
        QString typed; // keys typed into the empty address field
        bool enabled;
    } cases[] = {
        {"empty file name", "", "192168001001", false},   {"untouched address", "/tmp/fw.bin", "", false},
        {"first group only", "/tmp/fw.bin", "10", true},  {"blanks-only file name", "   ", "1", true},
        {"full address", "fw.bin", "192168001001", true},
    };
    form.show();
    for (const auto &c : cases) {
        fileName()->setText(c.file);
        form.SetIPAddressText(QString());
        address()->setFocus();
        address()->setCursorPosition(0);
        QTest::keyClicks(address(), c.typed);
        GoIdle();
        EXPECT_EQ(upgradeButton()->isEnabled(), c.enabled) << c.what;
        EXPECT_TRUE(child<QAction>("Upgrade")->isEnabled()) << c.what;
    }
}

TEST_F(UpgradeFormTest, LibraryGetsTheFileAsTypedAndTheCompactedAddress)
{
    ModalWatcher watcher;
    // Digits typed at cursor positions of the empty template.
    using Typing = std::vector<std::pair<int, QString>>;
    const struct
    {
        Typing typed;
        std::string sent;
    } cases[] = {
        {{{0, "10"}}, "10."},
        {{{1, "10"}, {10, "0"}, {14, "1"}}, "10.0.1"},
        {{{0, "192168001020"}}, "192.168.001.020"},
    };
    for (const auto &c : cases) {
        calls.clear();
        form.show();
        fileName()->setText(QStringLiteral(" my fw.bin"));
        form.SetIPAddressText(QString());
        for (const auto &[position, digits] : c.typed) {
            address()->setCursorPosition(position);
            QTest::keyClicks(address(), digits);
        }
        form.UpgradeExecute();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].first, " my fw.bin");
        EXPECT_EQ(calls[0].second, c.sent) << form.IPAddressText().toStdString();
    }
}

TEST_F(UpgradeFormTest, OutcomeOfARunFollowsTheLibraryResults)
{
    const QStringList retried = {"First Upgrade Failed", "Delay 10 seconds", "Attempting second upgrade"};
    const struct
    {
        const char *what;
        std::vector<int32_t> results;
        size_t calls;
        QStringList log;
        bool succeeded;
        int sleeps;
    } cases[] = {
        {"first 0", {0}, 1, {"Upgrade succeeded"}, true, 0},
        {"1 then 0", {1, 0}, 2, retried + QStringList{"Second upgrade succeeded"}, true, 100},
        {"1 then 4", {1, 4}, 2, retried + QStringList{"Second Upgrade Failed"}, false, 100},
        {"1 then 1: no third call", {1, 1, 0}, 2, retried + QStringList{"Second Upgrade Failed"}, false, 100},
        {"first 2", {2}, 1, {"Upgrade Failed"}, false, 0},
        {"first -1", {-1}, 1, {"Upgrade Failed"}, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ModalWatcher watcher;
        results = c.results;
        calls.clear();
        sleeps = 0;
        const int logBefore = int(LogForm->Lines().size());
        std::vector<bool> buttonsDuringCall;
        duringCall = [&](size_t) {
            buttonsDuringCall.push_back(upgradeButton()->isEnabled() || cancelButton()->isEnabled());
            SendUpgradeEvent(TVPUpgradeStarted, 10);
        };
        form.setResult(0);
        ShowReady();
        ClickUpgrade();

        EXPECT_EQ(calls.size(), c.calls);
        for (const auto &call : calls)
            EXPECT_EQ(call, calls.front()); // the retry sends the same texts
        EXPECT_EQ(buttonsDuringCall, std::vector<bool>(c.calls, false));
        EXPECT_EQ(LogForm->Lines().mid(logBefore), c.log);
        EXPECT_EQ(sleeps, c.sleeps);

        ASSERT_EQ(watcher.boxes.size(), 1u);
        const auto &box = watcher.boxes[0];
        EXPECT_EQ(box.title, c.succeeded ? "Information" : "Error");
        EXPECT_EQ(box.text, c.succeeded ? "Upgrade succeeded" : "Upgrade Failed");
        EXPECT_EQ(box.icon, c.succeeded ? QMessageBox::Information : QMessageBox::Critical);
        ASSERT_EQ(box.buttons.size(), 1);
        EXPECT_EQ(QString(box.buttons[0]).remove('&'), "OK");

        EXPECT_EQ(form.isVisible(), !c.succeeded);
        EXPECT_EQ(form.result(), c.succeeded ? int(QDialog::Accepted) : 0);
        EXPECT_FALSE(progress()->isVisible());
        EXPECT_TRUE(cancelButton()->isEnabled());
        EXPECT_TRUE(upgradeButton()->isEnabled());
        EXPECT_EQ(fileName()->text(), "/tmp/fw.bin");
        EXPECT_EQ(form.IPAddressText(), "10 .1  .2  .3  ");
        form.hide();
    }
}

TEST_F(UpgradeFormTest, IdleDoesNotEnableTheButtonsWhileTheOutcomeIsShown)
{
    ModalWatcher watcher;
    watcher.closeBoxes = false;
    results = {2};
    bool seen = false, upgradeEnabled = true, cancelEnabled = true;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seen)
            return;
        seen = true;
        // Long enough for the loop under the box to go idle several times.
        QTimer::singleShot(100, box, [&, box] {
            upgradeEnabled = upgradeButton()->isEnabled();
            cancelEnabled = cancelButton()->isEnabled();
            box->buttons().first()->click();
        });
    });
    poll.start(10);
    ShowReady();
    ClickUpgrade();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(upgradeEnabled);
    EXPECT_FALSE(cancelEnabled);
    EXPECT_TRUE(upgradeButton()->isEnabled());
    EXPECT_TRUE(cancelButton()->isEnabled());
}

TEST_F(UpgradeFormTest, ModalShowEndsWithOkAfterSuccessAndCancelOtherwise)
{
    ModalWatcher watcher;
    fileName()->setText(QStringLiteral("/tmp/fw.bin"));
    form.SetIPAddressText(QStringLiteral("10.0.0.1"));

    results = {0};
    QTimer::singleShot(0, &form, [this] { ClickUpgrade(); });
    EXPECT_EQ(form.exec(), int(QDialog::Accepted));

    QTimer::singleShot(0, &form, [this] { QTest::mouseClick(cancelButton(), Qt::LeftButton); });
    EXPECT_EQ(form.exec(), TUpgradeForm::ModalCancel);

    QTimer::singleShot(0, &form, [this] { QTest::keyClick(&form, Qt::Key_Escape); });
    EXPECT_EQ(form.exec(), TUpgradeForm::ModalCancel);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(UpgradeFormTest, RetryPauseLastsTenSecondsOfElapsedTimeAcrossACounterWrap)
{
    const struct
    {
        uint32_t start;
        uint32_t tick; // how far the clock moves during one 100 ms sleep
        int sleeps;
    } cases[] = {
        {1000, 100, 100},        {0xFFFFFFFFu - 4950, 100, 100}, // the counter wraps mid-pause
        {0xFFFFFFFFu, 100, 100}, {1000, 250, 40},                // slow sleeps: time, not the count of sleeps, decides
        {0xFFFFFF00u, 3000, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.start);
        ModalWatcher watcher;
        results = {1, 0};
        calls.clear();
        now = c.start;
        tickPerSleep = c.tick;
        sleeps = 0;
        ShowReady();
        ClickUpgrade();
        EXPECT_EQ(sleeps, c.sleeps);
        form.show();
    }
}

TEST_F(UpgradeFormTest, StartThenProgressOfTheTotalFillsTheBar)
{
    ModalWatcher watcher;
    results = {0};
    int maximum = -1, value = -1;
    bool visible = false;
    duringCall = [&](size_t) {
        SendUpgradeEvent(TVPUpgradeStarted, 123456);
        EXPECT_EQ(progress()->value(), 0);
        SendUpgradeEvent(TVPUpgradeProgress, 61728);
        EXPECT_EQ(progress()->value(), 61728);
        SendUpgradeEvent(TVPUpgradeProgress, 123456);
        visible = progress()->isVisible();
        maximum = progress()->maximum();
        value = progress()->value();
    };
    ShowReady();
    ClickUpgrade();
    EXPECT_TRUE(visible);
    EXPECT_EQ(maximum, 123456);
    EXPECT_EQ(value, maximum);
    EXPECT_FALSE(progress()->isVisible());
}

TEST_F(UpgradeFormTest, OtherKindsAndCodesChangeNothing)
{
    form.show();
    SendUpgradeEvent(TVPUpgradeStarted, 50);
    SendUpgradeEvent(TVPUpgradeProgress, 20);
    for (uint32_t kind : {2u, 3u, 0xFFFFFFFFu})
        SendUpgradeEvent(kind, 40);
    for (uint32_t code : {0u, 1u, 3u, 5u})
        SendUpgradeEvent(TVPUpgradeStarted, 7, code);
    HandleUpgradeEvent(TVPEventUpgrade, nullptr);
    EXPECT_TRUE(progress()->isVisible());
    EXPECT_EQ(progress()->maximum(), 50);
    EXPECT_EQ(progress()->value(), 20);
}

TEST_F(UpgradeFormTest, ARunTakesTheLibrarysUpgradeEventsFromTheProtocolObject)
{
    // as at start-up: the protocol object exists before any run
    const TTVPInterface protocol(nullptr);
    ModalWatcher watcher;
    std::vector<std::pair<int, int>> bar;
    duringCall = [&](size_t) {
        const TVPUpgradeRecord started{TVPUpgradeStarted, 80};
        const TVPUpgradeRecord reached{TVPUpgradeProgress, 60};
        LibraryCallback(TVPEventUpgrade, &started);
        LibraryCallback(TVPEventUpgrade, &reached);
        bar.emplace_back(progress()->isVisible() ? progress()->maximum() : -1, progress()->value());
    };
    ShowReady();
    ClickUpgrade();
    EXPECT_EQ(bar, (std::vector<std::pair<int, int>>{{80, 60}}));
}

TEST_F(UpgradeFormTest, BarCountsTowardsHundredDuringThePauseAndIsPaintedWhileBlocked)
{
    ModalWatcher watcher;
    results = {1, 0};
    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    progress()->installEventFilter(&counter);

    std::vector<int> values, maxima, paints;
    duringCall = [&](size_t n) {
        SendUpgradeEvent(TVPUpgradeStarted, n == 1 ? 5000 : 7000);
        SendUpgradeEvent(TVPUpgradeProgress, 100);
        if (n == 2)
            maxima.push_back(progress()->maximum()); // a new start sets the total anew
    };
    duringSleep = [&] {
        values.push_back(progress()->value());
        maxima.push_back(progress()->maximum());
        paints.push_back(counter.paints);
    };
    ShowReady();
    ClickUpgrade();

    ASSERT_EQ(values.size(), 100u);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i], int(i)) << i;
        EXPECT_EQ(maxima[i], 100) << i;
        if (i > 0) {
            EXPECT_GT(paints[i], paints[i - 1]) << "not painted at step " << i;
        }
    }
    EXPECT_EQ(maxima.back(), 7000);
    EXPECT_FALSE(progress()->isVisible());
}

TEST_F(UpgradeFormTest, PauseWithoutAStartEventLeavesTheBarHidden)
{
    ModalWatcher watcher;
    results = {1, 2};
    std::vector<bool> visible;
    duringSleep = [&] { visible.push_back(progress()->isVisible()); };
    ShowReady();
    ClickUpgrade();
    EXPECT_EQ(visible, std::vector<bool>(100, false));
}

TEST_F(UpgradeFormTest, ChooseSetsTheFullPathAndCancelKeepsTheName)
{
    testsupport::TempDir dir;
    const QString folder = QString::fromStdString(dir.path());
    QFile(folder + "/fw.bin").open(QIODevice::WriteOnly);
    fileName()->setText(QStringLiteral("old.bin"));
    form.show();

    ModalWatcher watcher;
    QStringList titles, filters, suffixes;
    // The first opening is cancelled; the second gets a name typed without
    // its extension, which the dialog completes.
    int openings = 0;
    watcher.onDialog = [&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog || !dialog->isVisible())
            return;
        titles << dialog->windowTitle();
        filters << dialog->nameFilters().join('|') + " / " + dialog->selectedNameFilter();
        suffixes << dialog->defaultSuffix();
        if (++openings != 2) { // a third opening would be a refused name
            dialog->reject();
            return;
        }
        dialog->setDirectory(folder);
        auto *typedName = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(typedName, nullptr);
        typedName->setText(QStringLiteral("fw"));
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog's own accept checks the name
    };
    QTest::mouseClick(child<QPushButton>("ChooseButton"), Qt::LeftButton);
    EXPECT_EQ(fileName()->text(), "old.bin");
    QTest::mouseClick(child<QPushButton>("ChooseButton"), Qt::LeftButton);
    EXPECT_EQ(fileName()->text(), QDir::toNativeSeparators(folder + "/fw.bin"));

    EXPECT_EQ(titles, QStringList(2, "Choose the Upgrade File"));
#ifdef _WIN32
    EXPECT_EQ(filters.value(0), "Upgrade Files (*.bin)|All Files (*.*) / Upgrade Files (*.bin)");
#else
    EXPECT_EQ(filters.value(0), "Upgrade Files (*.bin)|All Files (*) / Upgrade Files (*.bin)");
#endif
    EXPECT_EQ(suffixes, QStringList(2, "bin"));
}

// Firmware images need not have a dot in their names: "All Files" lists
// every file, the upgrade filter only the images.
TEST_F(UpgradeFormTest, AllFilesListsFilesWithoutADot)
{
    testsupport::TempDir dir;
    const QString folder = QString::fromStdString(dir.path());
    for (const char *name : {"fw.bin", "firmware", "notes.txt"})
        QFile(folder + "/" + name).open(QIODevice::WriteOnly);
    form.show();

    ModalWatcher watcher;
    std::vector<QStringList> listed;
    bool done = false;
    watcher.onDialog = [&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog || !dialog->isVisible() || done)
            return;
        done = true;
        dialog->setDirectory(folder);
        auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
        ASSERT_NE(view, nullptr);
        const auto shown = [&] {
            QStringList names;
            for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
                names << view->model()->index(r, 0, view->rootIndex()).data().toString();
            names.sort();
            return names;
        };
        for (const QString &filter : dialog->nameFilters()) {
            dialog->selectNameFilter(filter);
            const int expected = filter.startsWith(QLatin1String("All")) ? 3 : 1;
            WaitFor([&] { return shown().size() == expected; }, 3000);
            listed.push_back(shown());
        }
        dialog->reject();
    };
    QTest::mouseClick(child<QPushButton>("ChooseButton"), Qt::LeftButton);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], QStringList{"fw.bin"});
    EXPECT_EQ(listed[1], (QStringList{"firmware", "fw.bin", "notes.txt"}));
}

TEST_F(UpgradeFormTest, LayoutCaptionsTabOrderAndPlacement)
{
    ShowReady();
    EXPECT_FALSE(progress()->isVisible());
    EXPECT_EQ(form.windowTitle(), "Flash Upgrade");
    EXPECT_EQ(child<QGroupBox>("GroupBox1")->title(), "Upgade Parameters");
    EXPECT_EQ(form.size(), QSize(438, 133));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_TRUE(upgradeButton()->isDefault());
    EXPECT_EQ(upgradeButton()->text(), "Upgrade");
    EXPECT_EQ(upgradeButton()->toolTip(), "Start the upgrade process");

    const QPoint screenCentre = form.screen()->geometry().center();
    EXPECT_LE((form.frameGeometry().center() - screenCentre).manhattanLength(), 2);

    QApplication::setActiveWindow(&form);
    fileName()->setFocus();
    QStringList order{fileName()->objectName()};
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(order,
              QStringList({"FileName", "IPAddress", "ChooseButton", "UpgradeButton", "CancelButton", "FileName"}));
}

} // namespace
