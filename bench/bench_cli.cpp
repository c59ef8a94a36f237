// SPDX-License-Identifier: MIT
// netscry-cli on fleets of simulated devices on loopback:
//  - discover --target over a /16 (65,536 addresses) holding 5,000 devices
//    at --rate 20000: devices found and wall time against
//    65,536 / rate + the answer timeout;
//  - upgrade --all --jobs 8 of 100 devices, 1 MiB image, 1 ms reply delay:
//    total time against (100 / 8) x one upload's time.
// Prints figures; asserts nothing about time.
//
// Run inside a private network namespace:
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_cli'
#include "cli_run.h"
#include "devsim_process.h"
#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::map<std::string, std::string> Env(const testsupport::DevSim &sim)
{
    return {{"TVP_INTERFACES", "lo"},
            {"TVP_PORT", std::to_string(sim.Port())},
            {"TVP_TFTP_PORT", std::to_string(sim.TftpPort())}};
}

size_t CsvRows(const std::string &out)
{
    auto rows = clitest::ParseCsv(out);
    return rows.empty() ? 0 : rows.size() - 1;
}

bool Sweep()
{
    testsupport::DevSim sim({"--devices", "5000", "--quiet"});
    if (!sim.Start(20000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return false;
    }
    const double rate = 20000, timeout = 2.5, addresses = 65536;
    std::printf("discover --target 127.1.0.0/16 --rate %.0f, 5000 devices, --timeout %.1f\n", rate, timeout);
    for (int run = 1; run <= 3; ++run) {
        const auto start = Clock::now();
        auto r =
            clitest::RunCli({"discover", "--target", "127.1.0.0/16", "--rate", "20000", "--csv"}, Env(sim), 120000);
        const double wall = Seconds(Clock::now() - start);
        const double goal = addresses / rate + timeout;
        std::printf("  run %d: exit %d, %zu devices found, %.2f s wall; 65536/rate + timeout = %.2f s (%+.1f %%)\n",
                    run, r.exitCode, r.exitCode == 0 ? CsvRows(r.out) : 0, wall, goal, (wall / goal - 1) * 100);
    }
    return true;
}

bool Upgrades()
{
    testsupport::TempDir dir;
    const std::string image = dir.path() + "/image.bin";
    {
        std::string data(1 << 20, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = char(i * 2654435761u >> 24);
        std::ofstream(image, std::ios::binary) << data;
    }
    testsupport::DevSim sim({"--devices", "100", "--quiet", "--reply-delay-ms", "1"});
    if (!sim.Start(20000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return false;
    }
    std::printf("upgrade of 100 devices, 1 MiB image, 1 ms reply delay\n");
    double single = 0;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        auto r = clitest::RunCli({"upgrade", image, "127.1.0.2"}, Env(sim), 120000);
        const double t = Seconds(Clock::now() - start);
        std::printf("  one upload: exit %d, %.2f s\n", r.exitCode, t);
        single += t / 3;
    }
    // the discovery that --all starts with, on its own
    auto start = Clock::now();
    auto d = clitest::RunCli({"discover", "--csv"}, Env(sim), 120000);
    const double discovery = Seconds(Clock::now() - start);
    std::printf("  discovery alone: exit %d, %zu devices, %.2f s\n", d.exitCode, CsvRows(d.out), discovery);

    start = Clock::now();
    auto r = clitest::RunCli({"upgrade", image, "--all", "--jobs", "8", "--csv"}, Env(sim), 600000);
    const double total = Seconds(Clock::now() - start);
    size_t ok = 0;
    if (!r.out.empty())
        for (const auto &row : clitest::ParseCsv(r.out))
            ok += row.size() > 4 && row[4] == "true";
    start = Clock::now();
    auto quick =
        clitest::RunCli({"upgrade", image, "--all", "--jobs", "8", "--timeout", "0.5", "--csv"}, Env(sim), 600000);
    const double quickTotal = Seconds(Clock::now() - start);
    std::printf("  the same with --timeout 0.5 for its discovery: exit %d, %.2f s total\n", quick.exitCode, quickTotal);
    const double goal = 100.0 / 8 * single;
    std::printf("  upgrade --all --jobs 8: exit %d, %zu of 100 upgraded, %.2f s total, %.2f s after the discovery\n",
                r.exitCode, ok, total, total - discovery);
    std::printf(
        "  (100/8) x one upload = %.2f s; total / that = %.2f (%.2f with --timeout 0.5), uploads alone / that = "
        "%.2f (goal <= 1.5)\n",
        goal, total / goal, quickTotal / goal, (total - discovery) / goal);
    return true;
}

} // namespace

int main()
{
    bool ok = Sweep();
    ok = Upgrades() && ok;
    return ok ? 0 : 1;
}
