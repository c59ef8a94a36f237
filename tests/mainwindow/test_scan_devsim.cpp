// SPDX-License-Identifier: MIT
// The main window's scan against tvp-devsim on loopback: the sample LAN,
// answered twice per broadcast.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "test_support.h"
#include "tvpinterface.h"

using mwtest::Column;
using mwtest::DeviceList;
using mwtest::FakeShell;
using mwtest::RunUntilIdle;
using mwtest::SampleNames;

namespace {

class ScanAgainstSimulator : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace (NETSCRY_NETNS=1)";
        FakeShell().Reset();
        sim = std::make_unique<testsupport::DevSim>(std::vector<std::string>{"--duplicate"});
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        // the library registers with the simulator's settings from here on
        form = std::make_unique<TDeviceForm>();
    }

    void TearDown() override
    {
        form.reset();
        if (sim)
            sim->Stop();
    }

    // A scan is over when its cycle has ended and every row is listed and
    // probed (the reachable ones answer fast, the rest by the deadline).
    bool ScanSettles(int rows)
    {
        return testsupport::WaitFor(
            [&] {
                return !form->ProtocolInterface->DiscoveryTimer->isActive() &&
                       DeviceList(*form)->topLevelItemCount() == rows;
            },
            8000);
    }

    std::vector<double> DiscoverTimes()
    {
        std::vector<double> times;
        for (const std::string &line : sim->LogLines()) {
            if (line.find("discover txid") == std::string::npos)
                continue;
            // "[   seconds] discover txid ..."
            times.push_back(std::stod(line.substr(line.find('[') + 1)) * 1000.0);
        }
        return times;
    }

    QTreeWidgetItem *Named(const QString &name)
    {
        const auto rows = DeviceList(*form)->findItems(name, Qt::MatchExactly, TDeviceForm::ColName);
        return rows.size() == 1 ? rows.first() : nullptr;
    }

    std::unique_ptr<testsupport::DevSim> sim;
    std::unique_ptr<TDeviceForm> form;
};

TEST_F(ScanAgainstSimulator, ListsEachDeviceOnceByNameWithTheUnreachableMarked)
{
    form->ScanExecute();
    ASSERT_TRUE(ScanSettles(SampleNames.size()));
    EXPECT_EQ(Column(*form, TDeviceForm::ColName), SampleNames);
    EXPECT_EQ(FakeShell().arpFlushes, 1);

    QTreeWidgetItem *boiler = Named("Boiler Room Gateway");
    ASSERT_NE(boiler, nullptr);
    EXPECT_EQ(boiler->text(TDeviceForm::ColIPAddress), "127.0.0.11");
    EXPECT_EQ(boiler->text(TDeviceForm::ColID), "00:1A:2B:00:00:01");
    EXPECT_EQ(boiler->text(TDeviceForm::ColType), "I/O Gateway");
    EXPECT_FALSE(boiler->text(TDeviceForm::ColInterface).isEmpty());

    // silent to probes, and off the PC's subnet: both marked, the rest not
    const QStringList marked = {"Dock Door Sensor", "Warehouse Bridge"};
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return std::all_of(marked.begin(), marked.end(),
                           [&](const QString &n) { return testsupport::MarkedNotReachable(Named(n)); });
    }));
    for (const QString &name : SampleNames) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(TDeviceForm::ImageIndex(Named(name)), marked.contains(name) ? TDeviceForm::NotReachableImage : -1);
    }
    EXPECT_FALSE(form->findChild<QLabel *>("ProblemLabel")->isHidden());
}

TEST_F(ScanAgainstSimulator, OneScanSendsFiveBroadcastsHalfASecondApart)
{
    form->ScanExecute();
    ASSERT_TRUE(ScanSettles(SampleNames.size()));
    const std::vector<double> times = DiscoverTimes();
    ASSERT_EQ(times.size(), 5u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_NEAR(times[i] - times[0], 500.0 * double(i), 150.0) << i;
}

TEST_F(ScanAgainstSimulator, SelectionSurvivesARescanAndFollowsTheMark)
{
    form->ScanExecute();
    ASSERT_TRUE(ScanSettles(SampleNames.size()));
    // the first answer was selected; now the user picks another row
    EXPECT_EQ(DeviceList(*form)->selectedItems().size(), 1);
    DeviceList(*form)->setCurrentItem(Named("Packing PLC Bridge"));

    form->ScanExecute();
    ASSERT_TRUE(ScanSettles(SampleNames.size()));
    ASSERT_EQ(DeviceList(*form)->selectedItems().size(), 1);
    EXPECT_EQ(DeviceList(*form)->selectedItems().first()->text(TDeviceForm::ColName), "Packing PLC Bridge");

    QAction *autoIP = form->findChild<QAction *>("AutoSetIP");
    RunUntilIdle();
    EXPECT_FALSE(autoIP->isEnabled());
    QTreeWidgetItem *silent = Named("Dock Door Sensor");
    ASSERT_TRUE(testsupport::WaitFor([&] { return testsupport::MarkedNotReachable(silent); }));
    DeviceList(*form)->setCurrentItem(silent);
    RunUntilIdle();
    EXPECT_TRUE(autoIP->isEnabled());
}

} // namespace
