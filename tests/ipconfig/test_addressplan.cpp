// SPDX-License-Identifier: MIT
// Tools > Address Plan... against tvp-devsim's sample LAN on loopback
// (inside the private network namespace of the test command): opened from
// the main window's menu by its letters, a plan checked line by line, made
// from an address, applied with the device that never comes back rolled
// back, the results saved; and every button from the keyboard.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "addressplan.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "planrows.h"
#include "test_support.h"

using testsupport::WaitFor;

namespace {

constexpr int SampleDevices = 8;
const char *const Header = "id,ip,mask,gateway\n";

class AddressPlan : public ::testing::Test
{
protected:
    // The simulator, the main window with its first scan done, and the
    // dialog opened as a user opens it: Alt+T, then A.
    void Open(std::vector<std::string> simArgs = {})
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        mwtest::FakeShell().Reset();
        sim = std::make_unique<testsupport::DevSim>(std::move(simArgs));
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        form = std::make_unique<TDeviceForm>();
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        ASSERT_TRUE(WaitFor([&] { return List()->topLevelItemCount() == SampleDevices; }, 8000));
        QTest::keyClick(List(), Qt::Key_T, Qt::AltModifier);
        ASSERT_TRUE(WaitFor([] { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); }, 2000));
        QTest::keyClick(QApplication::activePopupWidget(), 'a');
        ASSERT_TRUE(WaitFor([] { return AddressPlanForm && AddressPlanForm->isVisible(); }, 2000));
        dialog = AddressPlanForm;
        table = dialog->findChild<QTableView *>(QStringLiteral("PlanTable"))->model();
    }

    void TearDown() override
    {
        form.reset(); // the dialog with it
        sim.reset();
    }

    QTreeWidget *List() { return mwtest::DeviceList(*form); }
    template <typename W = QWidget>
    W *Child(const char *name)
    {
        auto *w = dialog->findChild<W *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    std::string Cell(int row, int column) { return table->index(row, column).data().toString().toStdString(); }
    bool Settles(int timeoutMs = 15000)
    {
        return WaitFor([&] { return !dialog->IsBusy(); }, timeoutMs);
    }
    std::string Plan(const std::string &lines)
    {
        const std::string path = dir.path() + "/plan.csv";
        std::ofstream(path) << Header << lines;
        return path;
    }
    QString ListedAddress(const QString &name)
    {
        const auto rows = List()->findItems(name, Qt::MatchExactly, TDeviceForm::ColName);
        return rows.size() == 1 ? rows.first()->text(TDeviceForm::ColIPAddress) : QString();
    }

    std::unique_ptr<testsupport::DevSim> sim;
    std::unique_ptr<TDeviceForm> form;
    TAddressPlanForm *dialog = nullptr;
    QAbstractItemModel *table = nullptr;
    testsupport::TempDir dir;
    testsupport::ModalWatcher watcher;
};

TEST_F(AddressPlan, CheckShowsEachLinesProblemsAgainstTheDevicesFound)
{
    Open();
    const struct
    {
        const char *line;
        const char *foundOn;
        const char *check; // "ok", or a part of the problems
    } cases[] = {
        {"00:1A:2B:00:00:01,127.0.0.41,255.0.0.0,127.0.0.1", "lo (127.0.0.1)", "ok"},
        {"00:1A:2B:00:00:03,127.0.0.18,255.0.0.0,", "lo (127.0.0.1)",
         "127.0.0.18 is held by device 00:1A:2B:00:00:08 (Test Bench Adapter)"},
        {"00:1A:2B:00:00:06,127.0.0.44,255.0.0.0,", "lo (127.0.0.1)", "127.0.0.44 is planned on line 5 too"},
        {"00:1A:2B:00:00:07,127.0.0.44,255.0.0.0,", "lo (127.0.0.1)", "127.0.0.44 is planned on line 4 too"},
        {"00:1A:2B:00:00:04,127.0.0.1,255.0.0.0,", "lo (127.0.0.1)", "127.0.0.1 is this PC's own address"},
        {"00:1A:2B:00:00:05,10.9.9.9,255.255.255.0,", "lo (127.0.0.1)", "10.9.9.9 lies outside 127.0.0.0/8"},
        {"00:1A:2B:00:00:02,127.0.0.46,255.0.0.0,10.0.0.1", "lo (127.0.0.1)", "gateway 10.0.0.1 lies outside"},
        {"00:1A:2B:00:00:99,127.0.0.45,255.0.0.0,", "not found", "00:1A:2B:00:00:99 was not found"},
    };
    std::string plan;
    for (const auto &c : cases)
        plan += std::string(c.line) + "\n";
    ASSERT_TRUE(dialog->OpenPlanFile(QString::fromStdString(Plan(plan))));
    QTest::mouseClick(Child<QPushButton>("CheckButton"), Qt::LeftButton);
    EXPECT_TRUE(dialog->IsBusy());
    ASSERT_TRUE(Settles());
    ASSERT_EQ(table->rowCount(), int(std::size(cases)));
    for (int i = 0; i < int(std::size(cases)); ++i) {
        SCOPED_TRACE(cases[i].line);
        EXPECT_EQ(Cell(i, TPlanRows::ColFoundOn), cases[i].foundOn);
        const std::string check = Cell(i, TPlanRows::ColCheck);
        EXPECT_NE(check.find(cases[i].check), std::string::npos) << check;
        EXPECT_EQ(check == "ok", std::string(cases[i].check) == "ok") << check;
    }
    EXPECT_EQ(Cell(0, TPlanRows::ColCurrent), "127.0.0.11");
    EXPECT_EQ(Cell(0, TPlanRows::ColName), "Boiler Room Gateway");
    // the check's discovery answers reached the main list, which kept its rows
    EXPECT_EQ(List()->topLevelItemCount(), SampleDevices);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(AddressPlan, MakeGivesTheDevicesOfATypeConsecutiveFreeAddressesInNameOrder)
{
    Open();
    Child<QLineEdit>("FromAddress")->setText(QStringLiteral("127.0.0.15"));
    Child<QComboBox>("TypeFilter")->setCurrentText(QStringLiteral("Serial Server"));
    QTest::mouseClick(Child<QPushButton>("MakeButton"), Qt::LeftButton);
    ASSERT_TRUE(Settles());
    // .16 to .18 are other devices' present addresses
    const std::vector<std::vector<std::string>> expected = {
        {"Chiller Monitor", "127.0.0.15/8"},
        {"Line 2 Serial Server", "127.0.0.19/8"},
        {"Old Firmware Unit", "127.0.0.20/8"},
    };
    ASSERT_EQ(table->rowCount(), int(expected.size()));
    for (int i = 0; i < int(expected.size()); ++i)
        EXPECT_EQ((std::vector<std::string>{Cell(i, TPlanRows::ColName), Cell(i, TPlanRows::ColPlanned)}),
                  expected[size_t(i)]);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(AddressPlan, ApplyMovesTheDevicesRollsBackTheOneThatVanishesAndSavesTheResults)
{
    Open({"--vanish-when-moved", "00:1A:2B:00:00:08"});
    Child<QSpinBox>("VerifyTimeout")->setValue(2);
    ASSERT_TRUE(dialog->OpenPlanFile(QString::fromStdString(Plan("00:1A:2B:00:00:01,127.0.0.41,255.0.0.0,127.0.0.1\n"
                                                                 "00:1A:2B:00:00:03,127.0.0.42,255.0.0.0,\n"
                                                                 "00:1A:2B:00:00:08,127.0.0.43,255.0.0.0,\n"
                                                                 "00:1A:2B:00:00:99,127.0.0.45,255.0.0.0,\n"))));
    // each state the vanishing device's row showed, in order
    std::vector<std::string> states;
    QObject::connect(table, &QAbstractItemModel::dataChanged, [&] {
        const std::string now = Cell(2, TPlanRows::ColOutcome);
        if (!now.empty() && (states.empty() || states.back() != now))
            states.push_back(now);
    });
    watcher.closeBoxes = false;
    QTest::mouseClick(Child<QPushButton>("ApplyButton"), Qt::LeftButton);
    // one line was not found: the lines that passed go only when the user says so
    QMessageBox *box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return box = dialog->findChild<QMessageBox *>("ApplyPassedBox"); }, 8000));
    EXPECT_NE(box->text().indexOf(QLatin1String("1 of 4 lines have problems")), -1) << box->text().toStdString();
    QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    ASSERT_TRUE(Settles(20000));

    const std::vector<std::string> outcomes = {
        "applied: answers at 127.0.0.41",
        "applied: answers at 127.0.0.42",
        "rolled back: did not come back at 127.0.0.43 within 2 s; its previous settings were written back and it "
        "answers at 127.0.0.18 again",
        "not applied: device 00:1A:2B:00:00:99 was not found",
    };
    for (int i = 0; i < int(outcomes.size()); ++i)
        EXPECT_EQ(Cell(i, TPlanRows::ColOutcome).rfind(outcomes[size_t(i)], 0), 0u) << Cell(i, TPlanRows::ColOutcome);
    const std::vector<std::string> seen = {"reading its settings",
                                           "setting 127.0.0.43/8",
                                           "looking for it at 127.0.0.43",
                                           "rolling back: did not come back at 127.0.0.43 within 2 s",
                                           "looking for it at its previous address",
                                           outcomes[2]};
    EXPECT_EQ(states, seen);

    // the main list is scanned again: the moved devices at their new addresses
    EXPECT_TRUE(WaitFor([&] { return ListedAddress("Boiler Room Gateway") == "127.0.0.41"; }, 8000));
    EXPECT_TRUE(WaitFor([&] { return ListedAddress("Packing PLC Bridge") == "127.0.0.42"; }, 8000));
    EXPECT_TRUE(WaitFor([&] { return ListedAddress("Test Bench Adapter") == "127.0.0.18"; }, 8000));

    const struct
    {
        const char *file;
        std::vector<std::string> parts; // what the file holds, in this order
    } saved[] = {
        {"results.csv",
         {"line,id,planned,outcome,message", "2,00:1A:2B:00:00:01,127.0.0.41/8 gateway 127.0.0.1,applied,",
          "3,00:1A:2B:00:00:03,127.0.0.42/8,applied,", "4,00:1A:2B:00:00:08,127.0.0.43/8,rolled back,",
          "5,00:1A:2B:00:00:99,127.0.0.45/8,not applied,"}},
        {"results.json",
         {"\"id\": \"00:1A:2B:00:00:01\"", "\"outcome\": \"applied\"", "\"outcome\": \"rolled back\"",
          "\"outcome\": \"not applied\""}},
    };
    for (const auto &s : saved) {
        SCOPED_TRACE(s.file);
        const QString path = QString::fromStdString(dir.path() + "/" + s.file);
        ASSERT_TRUE(dialog->SaveResultsFile(path));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const std::string text = file.readAll().toStdString();
        size_t at = 0;
        for (const auto &part : s.parts) {
            at = text.find(part, at);
            ASSERT_NE(at, std::string::npos) << part << " in\n" << text;
        }
    }
}

// Enter on a focused button does that button's action; Enter in the From
// field makes a plan; the table is on the Tab chain.
TEST_F(AddressPlan, EnterOnEachFocusedButtonDoesItsAction)
{
    Open();
    QStringList dialogs;
    watcher.onDialog = [&](QWidget *w) {
        if (auto *files = qobject_cast<QFileDialog *>(w)) {
            dialogs << files->windowTitle();
            files->reject();
        }
    };
    // a device nobody has: the check finds it missing, so Apply sends nothing
    ASSERT_TRUE(dialog->OpenPlanFile(QString::fromStdString(Plan("00:1A:2B:00:00:99,127.0.0.41,255.0.0.0,\n"))));
    const auto shown = [&] { return dialogs.join(QLatin1Char(',')).toStdString(); };
    const auto boxes = [&] {
        std::string texts;
        for (const auto &b : watcher.boxes)
            texts += b.text.toStdString();
        watcher.boxes.clear();
        return texts;
    };
    const struct
    {
        const char *focus;
        std::function<bool()> didIt;
    } cases[] = {
        {"OpenButton", [&] { return shown() == "Open a Plan"; }},
        {"SavePlanButton", [&] { return shown() == "Save the Plan"; }},
        {"MakeButton", [&] { return boxes().find("From: \"\" is not an address") != std::string::npos; }},
        {"FromAddress", [&] { return boxes().find("From: \"\" is not an address") != std::string::npos; }},
        {"CheckButton", [&] { return dialog->IsBusy() && Cell(0, TPlanRows::ColCheck) == "looking for it"; }},
        // once checked, there are results to save
        {"SaveResultsButton", [&] { return shown() == "Save the Results"; }},
        {"ApplyButton", [&] { return dialog->IsBusy(); }},
        {"CloseButton", [&] { return !dialog->isVisible(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.focus);
        ASSERT_TRUE(Settles());
        dialogs.clear();
        QWidget *target = Child(c.focus);
        target->setFocus(Qt::TabFocusReason);
        QTest::keyClick(target, Qt::Key_Return);
        EXPECT_TRUE(WaitFor(c.didIt, 3000));
    }

    dialog->open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    Child("OpenButton")->setFocus(Qt::TabFocusReason);
    for (int tab = 0; tab < 8 && QApplication::focusWidget() != Child("PlanTable"); ++tab) {
        ASSERT_NE(QApplication::focusWidget(), nullptr) << "after " << tab << " Tabs";
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(QApplication::focusWidget(), Child("PlanTable"));
}

} // namespace
