// SPDX-License-Identifier: MIT
// netscry-cli plan apply on 200 simulated devices on loopback, 16 at a time:
// the total against (200 / 16) x one device's set-and-verify, measured by
// applying a one-line plan (moving one device there and back). Both as
// wall time of the whole command (the check included) and as the apply
// alone, as the command reports it on stderr; with devices that answer at
// once and with devices that take 20 ms. Prints figures; asserts nothing
// about time.
//
// Run inside a private network namespace:
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_plan'
#include "cli_run.h"
#include "devsim_process.h"
#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDevices = 200, kJobs = 16;

std::string Mac(int i)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:%02X:%02X:%02X", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return text;
}

// The generated device i starts at 127.1.0.(i + 2); `to` moves it to 127.<to>.0.(i + 2).
std::string Plan(const std::string &path, int first, int count, int to)
{
    std::ofstream out(path);
    out << "id,ip,mask,gateway\n";
    for (int i = first; i < first + count; ++i)
        out << Mac(i) << ",127." << to << ".0." << (i + 2) << ",255.0.0.0,\n";
    return path;
}

struct Timing
{
    int exit = -1;
    double wall = 0, apply = 0, check = 0;
    size_t applied = 0;
};

Timing Apply(const std::map<std::string, std::string> &env, const std::string &plan, int jobs)
{
    Timing t;
    const auto start = Clock::now();
    auto r = clitest::RunCli({"plan", "apply", plan, "--jobs", std::to_string(jobs), "--csv"}, env, 600000);
    t.wall = std::chrono::duration<double>(Clock::now() - start).count();
    t.exit = r.exitCode;
    std::smatch m;
    if (std::regex_search(r.err, m,
                          std::regex("checked in ([0-9.e+-]+) s, applied in ([0-9.e+-]+) s: ([0-9]+) applied"))) {
        t.check = std::stod(m[1]);
        t.apply = std::stod(m[2]);
        t.applied = std::stoul(m[3]);
    } else {
        std::fprintf(stderr, "%s", r.err.c_str());
    }
    return t;
}

// One simulator of kDevices devices answering after `delayMs`: the figures.
bool Measure(int delayMs)
{
    testsupport::DevSim sim(
        {"--devices", std::to_string(kDevices), "--quiet", "--reply-delay-ms", std::to_string(delayMs)});
    if (!sim.Start(20000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return false;
    }
    const std::map<std::string, std::string> env = {{"TVP_INTERFACES", "lo"}, {"TVP_PORT", std::to_string(sim.Port())}};
    testsupport::TempDir dir;

    std::printf("plan apply, %d simulated devices on loopback, each answering after %d ms\n", kDevices, delayMs);
    double singleWall = 0, singleApply = 0;
    const int runs = 4;
    for (int run = 0; run < runs; ++run) {
        // there and back, so each run sets and verifies
        const Timing t = Apply(env, Plan(dir.path() + "/one.csv", 0, 1, run % 2 ? 1 : 2), 1);
        std::printf("  one device: exit %d, %zu applied, %.2f s wall, check %.2f s, set-and-verify %.3f s\n", t.exit,
                    t.applied, t.wall, t.check, t.apply);
        singleWall += t.wall / runs;
        singleApply += t.apply / runs;
    }
    // the device moved there and back is home again: all of them move now
    const Timing all = Apply(env, Plan(dir.path() + "/all.csv", 0, kDevices, 3), kJobs);
    std::printf("  %d devices, --jobs %d: exit %d, %zu applied, %.2f s wall, check %.2f s, apply %.3f s\n", kDevices,
                kJobs, all.exit, all.applied, all.wall, all.check, all.apply);
    const double n = double(kDevices) / kJobs;
    std::printf("  (%d / %d) x one device: wall %.2f s, set-and-verify %.3f s\n", kDevices, kJobs, n * singleWall,
                n * singleApply);
    std::printf("  ratio, whole commands: %.2f; apply alone: %.2f (goal <= 2)\n", all.wall / (n * singleWall),
                singleApply > 0 ? all.apply / (n * singleApply) : 0.0);
    return all.exit == 0 && all.applied == size_t(kDevices);
}

} // namespace

int main()
{
    // without a delay the loopback's turnaround is all there is; with one,
    // each device takes the time a real one takes to answer
    bool ok = Measure(0);
    ok = Measure(20) && ok;
    return ok ? 0 : 1;
}
