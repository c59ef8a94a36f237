// SPDX-License-Identifier: MIT
// The main window without devices on the wire: rows fed through the
// protocol interface object, commands through a recording shell.
#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <algorithm>

#include "application.h"
#include "apptitle.h"
#include "devices.h"
#include "gui_helpers.h"
#include "log.h"
#include "mainwindow_support.h"
#include "tvpinterface.h"

using mwtest::Column;
using mwtest::Device;
using mwtest::DeviceList;
using mwtest::FakeShell;
using mwtest::RunUntilIdle;

namespace {

class DeviceFormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FakeShell().Reset();
        form = std::make_unique<TDeviceForm>();
    }

    QAction *Action(const char *name) { return form->findChild<QAction *>(QLatin1String(name)); }
    template <typename T>
    T *Child(const char *name)
    {
        return form->findChild<T *>(QLatin1String(name));
    }

    // An answer as the library hands it over, after a scan has subscribed.
    void Answer(const TDeviceInfo &info) { form->ProtocolInterface->DispatchEvent(TVPEventDeviceFound, info); }

    QTreeWidgetItem *Row(const QString &id)
    {
        QTreeWidget *list = DeviceList(*form);
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(TDeviceForm::ColID) == id)
                return list->topLevelItem(i);
        return nullptr;
    }

    // Nothing answers probes in these tests: every row ends up marked.
    bool ProbesSettled()
    {
        return testsupport::WaitFor([&] {
            QTreeWidget *list = DeviceList(*form);
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                if (!testsupport::MarkedNotReachable(list->topLevelItem(i)))
                    return false;
            return true;
        });
    }

    QString SelectedID()
    {
        const auto rows = DeviceList(*form)->selectedItems();
        return rows.size() == 1 ? rows.first()->text(TDeviceForm::ColID) : QString();
    }

    std::unique_ptr<TDeviceForm> form;
};

TEST_F(DeviceFormTest, HoveredButtonsShowTheirHintInTheStatusBar)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    auto *status = Child<QStatusBar>("StatusBar1");
    // The Telnet button keeps its own hint even after its command changes state.
    Action("Telnet")->setEnabled(false);
    Action("Telnet")->setEnabled(true);
    const std::pair<const char *, const char *> cases[] = {
        {"ToolButton1", "Scan for devices"},
        {"TelnetExcu", "Load the Command-line Configuration Interface"},
        {"ToolButton6", "Set the IP address of the PC"},
    };
    for (const auto &[button, hint] : cases) {
        SCOPED_TRACE(button);
        auto *b = Child<QToolButton>(button);
        QTest::mouseMove(status);
        QTest::mouseMove(b);
        EXPECT_TRUE(testsupport::WaitFor([&] { return status->currentMessage() == hint; }, 2000))
            << status->currentMessage().toStdString();
        EXPECT_EQ(b->toolTip(), hint);
    }
}

TEST_F(DeviceFormTest, HelpItemsTriggerTheirCommands)
{
    // The About window itself is not part of this test.
    QObject::disconnect(Action("About"), nullptr, form.get(), nullptr);
    QSignalSpy about(Action("About"), &QAction::triggered);
    Action("About1")->trigger();
    Action("Homepages1")->trigger();
    EXPECT_EQ(about.count(), 1);
    EXPECT_EQ(FakeShell().urls, QStringList({HomePageURL}));
}

TEST_F(DeviceFormTest, EditItemsNeverEnableAndTheirKeysAreNotHandled)
{
    const char *items[] = {"Undo1", "Cut1", "Copy1", "Paste1"};
    const QKeySequence keys[] = {QKeySequence("Ctrl+Z"), QKeySequence("Ctrl+X"), QKeySequence("Ctrl+C"),
                                 QKeySequence("Ctrl+V")};
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->ScanExecute();
    Answer(Device("Node", "00:00:00:00:00:01"));
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = 0; i < 4; ++i) {
        QAction *a = Action(items[i]);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->shortcut(), keys[i]);
        spies.push_back(std::make_unique<QSignalSpy>(a, &QAction::triggered));
    }
    for (bool selected : {false, true}) {
        SCOPED_TRACE(selected);
        if (!selected)
            DeviceList(*form)->clearSelection();
        else
            DeviceList(*form)->setCurrentItem(DeviceList(*form)->topLevelItem(0));
        RunUntilIdle();
        for (const char *item : items)
            EXPECT_FALSE(Action(item)->isEnabled()) << item;
        DeviceList(*form)->setFocus();
        for (const QKeySequence &k : keys)
            QTest::keySequence(DeviceList(*form), k);
    }
    for (const auto &spy : spies)
        EXPECT_EQ(spy->count(), 0);
}

TEST_F(DeviceFormTest, EnablingRulesFollowTheSelectionAtIdle)
{
    form->ScanExecute();
    Answer(Device("Reachable", "00:00:00:00:00:01"));
    Answer(Device("Unreachable", "00:00:00:00:00:02"));
    ASSERT_TRUE(ProbesSettled());
    // the probe result of the test's row, whatever the machine answered
    form->SetImageIndex(Row("00:00:00:00:00:01"), -1);
    form->SetImageIndex(Row("00:00:00:00:00:02"), TDeviceForm::NotReachableImage);

    const char *rowCommands[] = {"SetIPConfig", "DoUpgrade", "Webserver", "Telnet"};
    const char *alwaysOn[] = {"Scan", "Exit", "Network", "About", "UpgradeAny", "Action1"};
    struct Case
    {
        const char *selectedID;
        bool rowCommandsOn, autoIPOn;
    };
    const Case cases[] = {
        {nullptr, false, false},
        {"00:00:00:00:00:01", true, false},
        {"00:00:00:00:00:02", true, true},
        {nullptr, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.selectedID ? c.selectedID : "none");
        if (c.selectedID)
            DeviceList(*form)->setCurrentItem(Row(c.selectedID));
        else
            DeviceList(*form)->clearSelection();
        RunUntilIdle();
        for (const char *name : rowCommands)
            EXPECT_EQ(Action(name)->isEnabled(), c.rowCommandsOn) << name;
        EXPECT_EQ(Action("AutoSetIP")->isEnabled(), c.autoIPOn);
        for (const char *name : alwaysOn)
            EXPECT_TRUE(Action(name)->isEnabled()) << name;
    }
}

TEST_F(DeviceFormTest, ScanResetsListProgressAndLegendAndFlushesTheArpCache)
{
    form->ScanExecute();
    Answer(Device("Unreachable", "00:00:00:00:00:02"));
    ASSERT_TRUE(ProbesSettled());
    auto *progress = Child<QProgressBar>("Progress");
    ASSERT_TRUE(testsupport::WaitFor([&] { return progress->isHidden(); }, 4000));

    form->ScanExecute();
    EXPECT_EQ(FakeShell().arpFlushes, 2);
    // the library's interfaces alone (the test main restricts it to lo)
    EXPECT_EQ(FakeShell().flushedInterfaces.last(), QStringList{"lo"});
    EXPECT_EQ(DeviceList(*form)->topLevelItemCount(), 0);
    EXPECT_EQ(form->LastSelectedID, "00:00:00:00:00:02");
    EXPECT_FALSE(progress->isHidden());
    EXPECT_EQ(progress->value(), 0);
    EXPECT_TRUE(form->ScanTimer->isActive());
    EXPECT_EQ(form->ScanTimer->interval(), 125);
    EXPECT_TRUE(Child<QLabel>("ProblemImage")->isHidden());
    EXPECT_TRUE(Child<QLabel>("ProblemLabel")->isHidden());

    // 16 ticks, then the bar goes and the timer stops
    for (int tick = 1; tick < 16; ++tick)
        form->ScanTimerTimer();
    EXPECT_FALSE(progress->isHidden());
    EXPECT_EQ(progress->value(), 15);
    form->ScanTimerTimer();
    EXPECT_TRUE(progress->isHidden());
    EXPECT_FALSE(form->ScanTimer->isActive());

    // without a selection the next scan remembers none
    form->ScanExecute();
    EXPECT_TRUE(form->LastSelectedID.isEmpty());
}

TEST_F(DeviceFormTest, OneRowPerIDAndTheFirstAnswerStays)
{
    form->ScanExecute();
    Answer(Device("Gateway", "00:1A:2B:00:00:01", "127.0.0.11"));
    for (int repeat = 0; repeat < 4; ++repeat)
        Answer(Device("Gateway", "00:1A:2B:00:00:01", "127.0.0.11"));
    Answer(Device("Renamed", "00:1A:2B:00:00:01", "127.0.0.99"));
    // IDs differ by case: two devices
    Answer(Device("Other", "00:1a:2b:00:00:01", "127.0.0.12"));
    EXPECT_EQ(Column(*form, TDeviceForm::ColID), QStringList({"00:1A:2B:00:00:01", "00:1a:2b:00:00:01"}));
    EXPECT_EQ(Row("00:1A:2B:00:00:01")->text(TDeviceForm::ColName), "Gateway");
    EXPECT_EQ(Row("00:1A:2B:00:00:01")->text(TDeviceForm::ColIPAddress), "127.0.0.11");

    // A new scan lists the device again.
    form->ScanExecute();
    Answer(Device("Renamed", "00:1A:2B:00:00:01", "127.0.0.99"));
    EXPECT_EQ(Column(*form, TDeviceForm::ColName), QStringList({"Renamed"}));
}

TEST_F(DeviceFormTest, RowsAreOrderedByNameWhateverTheAnswerOrder)
{
    const QStringList names = {"Alpha", "Beta", "Delta", "Gamma", "Gamma 2"};
    QList<int> order = {0, 1, 2, 3, 4};
    int permutations = 0;
    do {
        form->ScanExecute();
        for (int i : order)
            Answer(Device(names[i], QStringLiteral("id-%1").arg(i)));
        ASSERT_EQ(Column(*form, TDeviceForm::ColName), names);
        // every other column travels with its row
        for (int i = 0; i < names.size(); ++i)
            EXPECT_EQ(Column(*form, TDeviceForm::ColID)[i], QStringLiteral("id-%1").arg(i));
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 120);
}

TEST_F(DeviceFormTest, NamesDifferingInCaseOnlyHaveOneOrderWhateverTheAnswerOrder)
{
    QStringList first, second;
    for (QStringList *result : {&first, &second}) {
        form->ScanExecute();
        const QStringList names =
            result == &first ? QStringList{"node", "Node", "NODE"} : QStringList{"NODE", "Node", "node"};
        for (const QString &n : names)
            Answer(Device(n, n));
        *result = Column(*form, TDeviceForm::ColName);
    }
    EXPECT_EQ(first.size(), 3);
    EXPECT_EQ(first, second);
}

// Lower- and upper-case names in word order under every locale, the C
// locale included, whose own collation is code-point order.
TEST_F(DeviceFormTest, NamesSortAsWordsUnderEveryLocale)
{
    const QLocale before;
    const QStringList answers = {"Zed", "beta", "alpha", "Beta", "Alpha", "zulu", "delta"};
    for (const QLocale &locale :
         {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German, QLocale::Germany),
          QLocale(QLocale::French, QLocale::France)}) {
        QLocale::setDefault(locale);
        form->ScanExecute();
        for (const QString &n : answers)
            Answer(Device(n, n));
        const QStringList shown = Column(*form, TDeviceForm::ColName);
        const auto at = [&](const char *name) { return shown.indexOf(QLatin1String(name)); };
        const std::string what = locale.name().toStdString() + ": " + shown.join(' ').toStdString();
        // by word first...
        EXPECT_LT(at("Alpha"), at("beta")) << what;
        EXPECT_LT(at("beta"), at("delta")) << what;
        EXPECT_LT(at("delta"), at("Zed")) << what;
        EXPECT_LT(at("Zed"), at("zulu")) << what;
        // ...case apart only within the same word, and never one name for two
        EXPECT_EQ(std::abs(at("alpha") - at("Alpha")), 1) << what;
        EXPECT_EQ(std::abs(at("beta") - at("Beta")), 1) << what;
        EXPECT_NE(DeviceNameCollator().compare("alpha", "Alpha"), 0) << what;
    }
    QLocale::setDefault(before);
}

TEST_F(DeviceFormTest, InPlaceEditorOpensForTheNameOnly)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->ScanExecute();
    Answer(Device("Alpha", "id-a"));
    Answer(Device("Beta", "id-b"));
    QTreeWidget *list = DeviceList(*form);
    QTreeWidgetItem *alpha = Row("id-a");
    list->setCurrentItem(alpha, TDeviceForm::ColType);
    list->editItem(alpha, TDeviceForm::ColType);
    EXPECT_EQ(list->findChild<QLineEdit *>(), nullptr);
    list->editItem(alpha, TDeviceForm::ColName);
    auto *editor = list->findChild<QLineEdit *>();
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, "Zeta");
    // the Edit menu's keys belong to the editor
    QTest::keySequence(editor, QKeySequence("Ctrl+Z"));
    EXPECT_EQ(editor->text(), "Alpha");
    editor->selectAll();
    QTest::keyClicks(editor, "Zeta");
    // the probe's mark lands while the user types
    ASSERT_TRUE(ProbesSettled());
    EXPECT_EQ(editor->text(), "Zeta");
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            return Column(*form, TDeviceForm::ColName) == QStringList({"Beta", "Zeta"});
        },
        2000));
    // only the shown text changed: the next answer of the device adds nothing
    EXPECT_EQ(Column(*form, TDeviceForm::ColID), QStringList({"id-b", "id-a"}));
    Answer(Device("Alpha", "id-a"));
    EXPECT_EQ(Column(*form, TDeviceForm::ColName).size(), 2);
}

TEST_F(DeviceFormTest, SelectionFollowsThePreviouslySelectedDevice)
{
    struct Case
    {
        const char *name;
        QString selectedBefore; // empty: no selection before the scan
        QStringList answers;    // IDs in answer order
        QString selectedAfter;
    };
    const Case cases[] = {
        {"reselected although another came first", "b", {"a", "b", "c"}, "b"},
        {"first answer when the old one is silent", "z", {"c", "a", "b"}, "c"},
        {"first answer without a selection", "", {"b", "c", "a"}, "b"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // a first scan that leaves the wanted selection
        form->ScanExecute();
        for (const char *id : {"a", "b", "c", "z"})
            Answer(Device(QStringLiteral("Device ") + id, id));
        if (c.selectedBefore.isEmpty())
            DeviceList(*form)->clearSelection();
        else
            DeviceList(*form)->setCurrentItem(Row(c.selectedBefore));

        form->ScanExecute();
        for (const QString &id : c.answers) {
            Answer(Device("Device " + id, id));
            EXPECT_EQ(DeviceList(*form)->selectedItems().size(), 1);
        }
        EXPECT_EQ(SelectedID(), c.selectedAfter);
    }
}

TEST_F(DeviceFormTest, UnreachableDeviceIsMarkedAndExplainedByTheLegend)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_FALSE(Child<QLabel>("ProblemLabel")->isVisible());
    form->ScanExecute();
    // nothing answers probes at this address
    Answer(Device("Silent", "00:00:00:00:00:09", "0.0.0.0"));
    QTreeWidgetItem *row = Row("00:00:00:00:00:09");
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(ProbesSettled());
    EXPECT_EQ(row->icon(TDeviceForm::ColName).pixmap(16, 16).toImage(), form->ImageList[4].pixmap(16, 16).toImage());
    for (const QIcon &icon : form->ImageList)
        EXPECT_FALSE(icon.pixmap(16, 16).isNull());
    EXPECT_TRUE(Child<QLabel>("ProblemImage")->isVisible());
    EXPECT_TRUE(Child<QLabel>("ProblemLabel")->isVisible());
    DeviceList(*form)->setCurrentItem(row);
    RunUntilIdle();
    EXPECT_TRUE(Action("AutoSetIP")->isEnabled());
}

TEST_F(DeviceFormTest, WebOpensTheDevicesPageAndReportsAFailure)
{
    // shown first: the scan of the first show clears the list
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    // A row by hand: a probe of this address must not leave the machine.
    auto *row = new QTreeWidgetItem(DeviceList(*form), {"Node", "Type", "192.168.0.5", "00:00:00:00:00:05", "eth0"});
    DeviceList(*form)->setCurrentItem(row);

    struct Case
    {
        bool shellSucceeds;
        bool viaDoubleClick;
    };
    for (const Case c : {Case{true, false}, Case{false, false}, Case{false, true}}) {
        SCOPED_TRACE(QStringLiteral("%1 %2").arg(c.shellSucceeds).arg(c.viaDoubleClick).toStdString());
        FakeShell().Reset();
        FakeShell().openSucceeds = c.shellSucceeds;
        testsupport::ModalWatcher watcher;
        if (c.viaDoubleClick) {
            QTreeWidget *list = DeviceList(*form);
            ASSERT_TRUE(testsupport::WaitFor([&] { return !list->visualItemRect(row).isEmpty(); }));
            const QRect cell = list->visualItemRect(row);
            const int x = list->header()->sectionViewportPosition(TDeviceForm::ColIPAddress) + 10;
            // the modal box of a failure runs inside the click
            const QPoint at(x, cell.center().y());
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        } else
            Action("Webserver")->trigger();
        EXPECT_EQ(FakeShell().urls, QStringList({"http://192.168.0.5/"}));
        if (c.shellSucceeds) {
            EXPECT_TRUE(watcher.boxes.empty());
            continue;
        }
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, "An error occured. Please open http://192.168.0.5/ from your browser.");
        EXPECT_EQ(watcher.boxes[0].title, ApplicationTitle);
        EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::NoIcon);
        EXPECT_EQ(watcher.boxes[0].buttons.size(), 1);
    }
}

TEST_F(DeviceFormTest, WebShowsAnAddressWithMarkupAsPlainText)
{
    auto *row = new QTreeWidgetItem(DeviceList(*form), {"Node", "T", "<b>x</b>", "id", "eth0"});
    DeviceList(*form)->setCurrentItem(row);
    FakeShell().openSucceeds = false;
    testsupport::ModalWatcher watcher;
    watcher.closeBoxes = false;
    QMessageBox *shown = nullptr;
    QTimer::singleShot(0, [&] {
        testsupport::WaitFor([&] { return (shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())); },
                             3000);
        if (shown) {
            EXPECT_EQ(shown->textFormat(), Qt::PlainText);
            shown->accept();
        }
    });
    form->WebserverExecute();
    EXPECT_NE(shown, nullptr);
}

TEST_F(DeviceFormTest, RowCommandsDoNothingWithoutASelection)
{
    form->ScanExecute();
    Answer(Device("Node", "00:00:00:00:00:01"));
    DeviceList(*form)->clearSelection();
    FakeShell().Reset();
    testsupport::ModalWatcher watcher;
    form->DeviceListDblClick();
    form->WebserverExecute();
    form->TelnetExcute();
    EXPECT_TRUE(FakeShell().urls.isEmpty());
    EXPECT_TRUE(FakeShell().telnet.isEmpty());
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(DeviceFormTest, TelnetNetworkAndHomepagesGoThroughTheShellSilently)
{
    auto *row = new QTreeWidgetItem(DeviceList(*form), {"Node", "T", "10.1.2.3", "id", "eth0"});
    DeviceList(*form)->setCurrentItem(row);
    FakeShell().openSucceeds = false;
    testsupport::ModalWatcher watcher;
    Action("Telnet")->trigger();
    Action("Network")->trigger();
    Action("Action1")->trigger();
    EXPECT_EQ(FakeShell().telnet, QStringList({"10.1.2.3"}));
    EXPECT_EQ(FakeShell().networkSettings, 1);
    EXPECT_EQ(FakeShell().urls, QStringList({HomePageURL}));
    // a failed home page is not reported
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(DeviceFormTest, ExitEndsTheProgramEvenWithTheLogOpen)
{
    TLogForm log;
    LogForm = &log;
    form->show();
    log.show();
    Action("Exit")->trigger();
    EXPECT_FALSE(form->isVisible());
    // nothing left that would keep the message loop running
    EXPECT_FALSE(log.isVisible());
}

TEST_F(DeviceFormTest, FirstShowCentresTheWindowAndScans)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_EQ(FakeShell().arpFlushes, 1);
    EXPECT_FALSE(Child<QProgressBar>("Progress")->isHidden());
    const QPoint centre = form->screen()->availableGeometry().center();
    EXPECT_LE((form->geometry().center() - centre).manhattanLength(), 40);
}

// Broken .ui connections show up as warnings while a window is built.
TEST(AllWindows, BuildWithoutBrokenConnections)
{
    static int broken = 0;
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &msg) {
        if (msg.contains("No such slot") || msg.contains("No such signal"))
            ++broken;
        if (previous)
            previous(type, context, msg);
    });
    CreateWindows();
    qInstallMessageHandler(previous);
    ASSERT_NE(DeviceForm, nullptr);
    EXPECT_EQ(DeviceForm->findChildren<QAction *>().size() >= 17, true);
    DestroyWindows();
    EXPECT_EQ(broken, 0);
}

} // namespace
