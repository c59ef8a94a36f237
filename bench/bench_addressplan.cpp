// SPDX-License-Identifier: MIT
// Tools > Address Plan... with a plan of 1,000 simulated devices through the
// real main window and dialog, offscreen: the longest stretch the event loop
// spent away while the dialog read the plan into its table, and while it
// checked every line (a discovery, then the address checks on their worker
// thread, each row updated as its verdict came); and how long the check
// took. Prints figures; asserts nothing about time.
//
// Run inside a private network namespace, with the device count (default
// 1000):
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_addressplan 1000'
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "addressplan.h"
#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "shell.h"

namespace {

// Runs `work` from the event loop and turns the loop until `done` holds
// (or the deadline passes); returns the longest gap between two beats of
// a 1 ms timer meanwhile: how long the loop was away at most.
double LongestGap(const std::function<void()> &work, const std::function<bool()> &done, int deadlineMs)
{
    double longest = 0;
    QElapsedTimer sinceBeat;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceBeat.nsecsElapsed() / 1e6);
        sinceBeat.start();
    });
    QTimer::singleShot(0, [&] {
        sinceBeat.start();
        beat.start();
        work();
    });
    QElapsedTimer deadline;
    deadline.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    while (!done() && deadline.elapsed() < deadlineMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return longest;
}

// The generated devices (tvp-devsim --devices) each moved to 127.2.x.y:
// the same IDs and /8 mask the simulator gives them.
void WritePlan(const std::string &path, int devices)
{
    std::ofstream plan(path);
    plan << "id,ip,mask,gateway\n";
    for (int i = 0; i < devices; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "02:00:00:%02X:%02X:%02X,127.2.%d.%d,255.0.0.0,\n", (i >> 16) & 255,
                      (i >> 8) & 255, i & 255, (i / 250) % 256, i % 250 + 2);
        plan << line;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("NETSCRY_BIN_DIR"))
        setenv("NETSCRY_BIN_DIR", std::filesystem::path(argv[0]).parent_path().c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int devices = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 64000) : 1000;
    testsupport::DevSim sim({"--devices", std::to_string(devices), "--quiet"});
    if (!sim.Start()) {
        std::fprintf(stderr, "tvp-devsim did not start\n");
        return 1;
    }
    sim.UseFromThisProcess();

    TApplication app(argc, argv);
    // records instead of flushing the machine's ARP cache
    testsupport::RecordingShell shell;
    SetShell(&shell);
    TDeviceForm form;
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("site.csv")).toStdString();
    WritePlan(path, devices);

    auto *dialog = new TAddressPlanForm(form.ProtocolInterface, &form);
    auto *status = dialog->findChild<QLabel *>(QStringLiteral("Status"));
    bool opened = false;
    const double opening = LongestGap(
        [&] {
            dialog->show();
            opened = dialog->OpenPlanFile(QString::fromStdString(path));
        },
        [&] { return opened; }, 10000);
    QElapsedTimer check;
    const double checking = LongestGap(
        [&] {
            check.start();
            dialog->CheckButtonClick();
        },
        [&] { return !dialog->IsBusy(); }, 600000);
    const double checkS = check.elapsed() / 1000.0;

    std::printf("a plan of %d devices\n", devices);
    std::printf("longest event-loop gap while the dialog read the plan into its table: %.1f ms (target 100 ms)\n",
                opening);
    std::printf("longest event-loop gap while it checked every line: %.1f ms (target 100 ms)\n", checking);
    std::printf("the check took %.1f s; the dialog says: %s\n", checkS, qPrintable(status->text()));
    SetShell(nullptr);
    return opened && !dialog->IsBusy() ? 0 : 1;
}
