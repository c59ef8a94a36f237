// SPDX-License-Identifier: MIT
#include "process.h"

#include <csignal>
#include <unistd.h>

namespace devsim {

namespace {

volatile bool *g_stop = nullptr;
sock::Waker *g_waker = nullptr;

void OnSignal(int)
{
    *g_stop = true;
    g_waker->Set();
}

} // namespace

void StopOnSignals(volatile bool *stop, sock::Waker *waker)
{
    g_stop = stop;
    g_waker = waker;
    struct sigaction sa
    {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string ProgramDirectory()
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return {};
    std::string dir(exe, size_t(n));
    dir.erase(dir.find_last_of('/') + 1);
    return dir;
}

} // namespace devsim
