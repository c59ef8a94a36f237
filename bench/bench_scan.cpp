// SPDX-License-Identifier: MIT
// A scan of simulated devices (10% answer no probe) through the real main
// window, offscreen: time from ScanExecute until every row is listed and
// until every mark is on, how many rows carry a wrong mark once the cycle
// is over, the longest stretch the event loop spent away during the whole
// scan, and the program's peak memory. Prints figures; asserts nothing
// about time.
//
// Run inside a private network namespace, with the device count (default
// 1000):
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_scan 10000'
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "application.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_bench.h"
#include "gui_helpers.h"
#include "shell.h"
#include "tvpinterface.h"

namespace {

int kDevices = 1000;
int kUnreachable = kDevices / 10;

struct Figures
{
    double listedMs = -1;
    double markedMs = -1;
    double longestGapMs = 0;
    int wrongMarks = 0;
};

int Marked(QTreeWidget *list)
{
    int marked = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        marked += TDeviceForm::ImageIndex(list->topLevelItem(i)) == TDeviceForm::NotReachableImage;
    return marked;
}

bool RunScan(TDeviceForm &form, Figures &f)
{
    auto *list = form.findChild<QTreeWidget *>(QStringLiteral("DeviceList"));
    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    // A 1 ms beat: the gap between two beats is how long the loop was away.
    int beats = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        f.longestGapMs = std::max(f.longestGapMs, sinceTick.nsecsElapsed() / 1e6);
        if (f.listedMs < 0 && list->topLevelItemCount() == kDevices)
            f.listedMs = clock.nsecsElapsed() / 1e6;
        // counting marks walks the list: not on every beat, or the count is the stall
        if (f.listedMs >= 0 && f.markedMs < 0 && ++beats % 20 == 0 && Marked(list) == kUnreachable)
            f.markedMs = clock.nsecsElapsed() / 1e6;
        sinceTick.start();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        sinceTick.start();
        beat.start();
        form.ScanExecute();
    });
    QElapsedTimer deadline;
    deadline.start();
    // the whole cycle and its late answers: marks can only go wrong meanwhile
    while (deadline.elapsed() < 3500)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    beat.stop();
    // silent devices are spread evenly: every tenth device answers no probe
    int silentRows = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const int n = list->topLevelItem(i)->text(0).mid(4).toInt(); // Sim-NNNN
        const bool silent = (n * kUnreachable) / kDevices != ((n - 1) * kUnreachable) / kDevices;
        const bool marked = TDeviceForm::ImageIndex(list->topLevelItem(i)) == TDeviceForm::NotReachableImage;
        silentRows += silent;
        f.wrongMarks += silent != marked;
    }
    return f.listedMs >= 0 && silentRows == kUnreachable;
}

long PeakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    SetGuiBenchEnvironment(argv[0]);
    if (argc > 1)
        kDevices = std::max(1, std::atoi(argv[1]));
    kUnreachable = kDevices / 10;
    testsupport::DevSim sim({"--devices", std::to_string(kDevices), "--unreachable", "0.1", "--quiet"});
    if (!StartSimulator(sim))
        return 1;

    TApplication app(argc, argv);
    // records instead of flushing the machine's ARP cache
    testsupport::RecordingShell shell;
    SetShell(&shell);
    TDeviceForm form;

    const int rounds = kDevices > 2000 ? 3 : 5;
    std::vector<double> listed, marked, gaps;
    for (int i = 0; i < rounds; ++i) {
        Figures f;
        if (!RunScan(form, f)) {
            std::fprintf(stderr, "scan %d: not every row listed and marked in time\n", i + 1);
            return 1;
        }
        listed.push_back(f.listedMs);
        marked.push_back(f.markedMs);
        gaps.push_back(f.longestGapMs);
        std::printf("scan %d: %d rows listed after %.1f ms, %d marked after %.1f ms, %d rows wrongly marked, "
                    "longest event-loop gap %.1f ms\n",
                    i + 1, kDevices, f.listedMs, kUnreachable, f.markedMs, f.wrongMarks, f.longestGapMs);
        // the discovery cycle ends before the next scan starts
        while (form.ProtocolInterface->DiscoveryTimer->isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    auto report = [](const char *what, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        std::printf("%s: median %.1f ms, min %.1f ms, max %.1f ms (%zu scans)\n", what, v[v.size() / 2], v.front(),
                    v.back(), v.size());
    };
    std::printf("%d devices, %d of them silent\n", kDevices, kUnreachable);
    report("every row listed after ScanExecute (target 1000 ms at 1,000 devices, 2000 ms at 10,000)", listed);
    report("every unreachable row marked after ScanExecute", marked);
    report("longest event-loop gap during the scan (target 100 ms)", gaps);
    std::printf("peak memory (VmHWM) with %d rows: %ld KiB\n", kDevices, PeakMemoryKiB());
    SetShell(nullptr);
    return 0;
}
