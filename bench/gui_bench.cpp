// SPDX-License-Identifier: MIT
#include "gui_bench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

void SetGuiBenchEnvironment(const char *argv0)
{
    if (!std::getenv("NETSCRY_BIN_DIR"))
        setenv("NETSCRY_BIN_DIR", std::filesystem::path(argv0).parent_path().c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

bool StartSimulator(testsupport::DevSim &sim)
{
    if (!sim.Start()) {
        std::fprintf(stderr, "tvp-devsim did not start\n");
        return false;
    }
    sim.UseFromThisProcess();
    return true;
}

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
    // a last beat closes the stretch the condition ended in
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return longest;
}
