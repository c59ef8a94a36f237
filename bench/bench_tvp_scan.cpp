// SPDX-License-Identifier: MIT
// A scan of 1,000 simulated devices on loopback: how long until every
// discovery answer is delivered, and how long the program's 1,000
// synchronous TVPPingDevice calls take (10% of the devices answer no probe).
// Prints figures; asserts nothing about time.
//
// Run inside a private network namespace:
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_tvp_scan'
#include "devsim_process.h"
#include "tvp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 1000;

struct Scan
{
    bool ping = false;
    int found = 0;
    int reachable = 0;
    Clock::duration pingTime{};
    Clock::time_point lastFound;
};
Scan *g_scan = nullptr;

void Callback(uint32_t code, const void *record)
{
    if (code != TVPEventDeviceFound || !g_scan)
        return;
    auto r = static_cast<const TVPDeviceFoundRecord *>(record);
    ++g_scan->found;
    g_scan->lastFound = Clock::now();
    if (g_scan->ping) {
        // what the device list does for every new row
        auto start = Clock::now();
        if (TVPPingDevice(r->IPAddress) & 0xff)
            ++g_scan->reachable;
        g_scan->pingTime += Clock::now() - start;
    }
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

bool RunScan(const testsupport::DevSim &sim, Scan &scan, double *deliveredMs)
{
    sim.UseFromThisProcess();
    TVPSetApplicationCallback(Callback, 0);
    g_scan = &scan;
    auto start = Clock::now();
    if (TVPDiscover() != 0)
        return false;
    auto deadline = start + std::chrono::seconds(5);
    while (scan.found < kDevices && Clock::now() < deadline) {
        pollfd p{TVPEventHandle(), POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            TVPProcessEvents();
    }
    g_scan = nullptr;
    *deliveredMs = Ms(scan.lastFound - start);
    TVPCleanup();
    return scan.found == kDevices;
}

} // namespace

int main(int, char **argv)
{
    if (!std::getenv("NETSCRY_BIN_DIR"))
        setenv("NETSCRY_BIN_DIR", std::filesystem::path(argv[0]).parent_path().c_str(), 1);
    testsupport::DevSim sim({"--devices", std::to_string(kDevices), "--unreachable", "0.1", "--quiet"});
    if (!sim.Start()) {
        std::fprintf(stderr, "tvp-devsim did not start\n");
        return 1;
    }
    const int rounds = 5;
    std::vector<double> delivered, pings;
    for (int i = 0; i < rounds; ++i) {
        Scan scan;
        double ms = 0;
        if (!RunScan(sim, scan, &ms)) {
            std::fprintf(stderr, "discovery: only %d of %d answers\n", scan.found, kDevices);
            return 1;
        }
        delivered.push_back(ms);
    }
    for (int i = 0; i < rounds; ++i) {
        Scan scan;
        scan.ping = true;
        double ms = 0;
        if (!RunScan(sim, scan, &ms)) {
            std::fprintf(stderr, "scan: only %d of %d answers\n", scan.found, kDevices);
            return 1;
        }
        pings.push_back(Ms(scan.pingTime));
        std::printf("scan %d: %d devices, %d reachable, 1000 TVPPingDevice calls took %.1f ms\n", i + 1, scan.found,
                    scan.reachable, pings.back());
    }
    auto report = [](const char *what, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        std::printf("%s: median %.1f ms, min %.1f ms, max %.1f ms (%zu runs)\n", what, v[v.size() / 2], v.front(),
                    v.back(), v.size());
    };
    report("discovery of 1000 devices, first broadcast to last answer delivered", delivered);
    report("1000 TVPPingDevice calls of a scan, 10% unreachable", pings);
    return 0;
}
