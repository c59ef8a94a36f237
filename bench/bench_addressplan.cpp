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
#include <fstream>
#include <string>

#include "addressplan.h"
#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_bench.h"
#include "gui_helpers.h"
#include "shell.h"

namespace {

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
    SetGuiBenchEnvironment(argv[0]);
    const int devices = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 64000) : 1000;
    testsupport::DevSim sim({"--devices", std::to_string(devices), "--quiet"});
    if (!StartSimulator(sim))
        return 1;

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
