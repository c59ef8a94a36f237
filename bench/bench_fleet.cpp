// SPDX-License-Identifier: MIT
// Tools > Upgrade Several Devices... with 1,000 simulated devices through
// the real main window and dialog, offscreen: the longest stretch the event
// loop spent away while the dialog filled its rows (and its filter and
// check boxes ran over them), and while it upgraded every device and
// waited for each to answer again; and how long the whole run took.
// Prints figures; asserts nothing about time.
//
// Run inside a private network namespace, with the device count (default
// 1000) and how many at a time (default 16):
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_fleet 1000 16'
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_bench.h"
#include "gui_helpers.h"
#include "fleetupgrade.h"
#include "shell.h"
#include "tvpinterface.h"

namespace {

template <typename T>
T *Child(const char *name)
{
    return FleetUpgradeForm->findChild<T *>(QLatin1String(name));
}

} // namespace

int main(int argc, char **argv)
{
    SetGuiBenchEnvironment(argv[0]);
    const int devices = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int jobs = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 32) : 16;
    testsupport::DevSim sim({"--devices", std::to_string(devices), "--quiet"});
    if (!StartSimulator(sim))
        return 1;

    TApplication app(argc, argv);
    // records instead of flushing the machine's ARP cache
    testsupport::RecordingShell shell;
    SetShell(&shell);
    TDeviceForm form;
    auto *list = form.findChild<QTreeWidget *>(QStringLiteral("DeviceList"));
    form.ScanExecute();
    QElapsedTimer scan;
    scan.start();
    while (list->topLevelItemCount() < devices && scan.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (list->topLevelItemCount() < devices) {
        std::fprintf(stderr, "the scan listed %d of %d devices\n", list->topLevelItemCount(), devices);
        return 1;
    }

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("fleet.bin"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(16384, 'f')) != 16384)
        return 1;
    file.close();

    FleetUpgradeForm = new TFleetUpgradeForm(form.ProtocolInterface, &form);
    auto *table = Child<QTreeWidget>("DeviceTable");
    const double filling = LongestGap(
        [&] {
            FleetUpgradeForm->SetDevices(form.ListedDevices());
            FleetUpgradeForm->show();
        },
        [&] { return table->topLevelItemCount() == devices; }, 10000);
    // the filter and the check boxes run over every row
    const double filtering = LongestGap(
        [&] {
            Child<QComboBox>("TypeFilter")->setCurrentIndex(1);
            Child<QLineEdit>("NameFilter")->setText(QStringLiteral("sim-0"));
            Child<QPushButton>("CheckShownButton")->click();
            Child<QComboBox>("TypeFilter")->setCurrentIndex(0);
            Child<QLineEdit>("NameFilter")->clear();
            Child<QPushButton>("UncheckAllButton")->click();
            Child<QPushButton>("CheckShownButton")->click();
        },
        [] { return true; }, 1000);

    Child<QLineEdit>("FileName")->setText(image);
    Child<QSpinBox>("Jobs")->setValue(jobs);
    QElapsedTimer run;
    const double running = LongestGap(
        [&] {
            run.start();
            Child<QPushButton>("StartButton")->click();
        },
        [] { return !FleetUpgradeForm->IsRunning(); }, 600000);
    const double runMs = run.elapsed();

    std::printf("%d devices, %d at a time, a %d-byte image\n", devices, jobs, 16384);
    std::printf("longest event-loop gap while the dialog filled its rows: %.1f ms (target 100 ms)\n", filling);
    std::printf("longest event-loop gap while filtering and checking every row: %.1f ms (target 100 ms)\n", filtering);
    std::printf("longest event-loop gap while upgrading and waiting for the answers: %.1f ms (target 100 ms)\n",
                running);
    std::printf("whole run: %.1f s\n", runMs / 1000);
    std::printf("summary: %s\n", qPrintable(Child<QLabel>("Summary")->text()));
    SetShell(nullptr);
    return FleetUpgradeForm->IsRunning() ? 1 : 0;
}
