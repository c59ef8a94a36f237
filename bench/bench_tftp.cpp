// SPDX-License-Identifier: MIT
// Firmware upload throughput, 4 MiB images:
//  1. to the simulator's server with 1 ms added before every reply (a LAN's
//     round trip): the negotiated transfer (blksize 1428, windowsize 16)
//     against plain 512-byte lock-step;
//  2. to tftpd-hpa on loopback: the library's client against
//     `curl -T <file> tftp://127.0.0.1:<port>/<name> --tftp-blksize 1428`;
//  3. through the test support's impairing relay (seeded loss, duplication,
//     reordering), to the simulator and atftpd windowed and to tftpd-hpa in
//     lock-step:
//     time, DATA packets sent per block of the image, window restarts,
//     time-outs and the retransmission time-out reached.
// Prints figures and ratios; asserts nothing about time.
//
// Run inside a private network namespace:
//   unshare -n -m -- bash -c 'ip link set lo up; build/bin/bench_tftp'
// BENCH_TFTP_ONLY=simulator|tftpd|impaired runs one part; BENCH_TFTP_TRACE=1
// prints the client's log lines on stderr; NETSCRY_ATFTPD names atftpd when
// it is not /usr/sbin/atftpd.
#include "tftp_client.h"
#include "tftp_peers.h"
#include "tftp_server.h"
#include "test_support.h"
#include "udp_relay.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kImage = 4 << 20;
constexpr int kRuns = 5;
constexpr const char *kCurl = "/usr/bin/curl";

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double MiBps(double seconds)
{
    return seconds > 0 ? kImage / seconds / (1 << 20) : 0;
}

// Median seconds of `runs` timed calls; negative when one failed.
template <class F>
double Median(int runs, F once)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        if (!once(i))
            return -1;
        t.push_back(Seconds(Clock::now() - start));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

bool Upload(uint16_t port, const std::vector<uint8_t> &image, bool negotiate, const std::string &name,
            tvp::tftp::UploadStats *stats = nullptr)
{
    tvp::tftp::UploadParams p;
    p.address = tftptest::kLoopback;
    p.port = port;
    p.fileName = name;
    p.negotiate = negotiate;
    p.stats = stats;
    if (std::getenv("BENCH_TFTP_TRACE")) // the client's log lines, for a closer look
        p.log = [](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    return tvp::tftp::Upload(p, image) == tvp::tftp::UploadResult::Ok;
}

bool Curl(const std::string &file, uint16_t port, const std::string &name)
{
    pid_t pid = fork();
    if (pid == 0) {
        const std::string url = "tftp://127.0.0.1:" + std::to_string(port) + "/" + name;
        execl(kCurl, kCurl, "-s", "-T", file.c_str(), url.c_str(), "--tftp-blksize", "1428", (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Simulator(const std::vector<uint8_t> &image)
{
    devsim::TftpServerConfig c;
    c.replyDelayMs = 1;
    c.behaviourFor = [](uint32_t) { return std::optional(devsim::UpgradeBehaviour::Succeed); };
    devsim::TftpServer server(c);
    if (!server.Start()) {
        std::printf("simulator: server did not start\n");
        return;
    }
    std::vector<double> rtts;
    const double windowed = Median(kRuns, [&](int i) {
        tvp::tftp::UploadStats stats;
        const bool ok = Upload(server.Port(), image, true, "w" + std::to_string(i), &stats);
        rtts.push_back(stats.rttMs);
        return ok;
    });
    const double lockstep = Median(1, [&](int) { return Upload(server.Port(), image, false, "plain"); });
    if (windowed < 0 || lockstep < 0) {
        std::printf("simulator: an upload failed\n");
        return;
    }
    std::printf("simulator, 1 ms reply delay, 4 MiB:\n");
    std::printf("  blksize 1428, windowsize 16: %8.3f s  %8.2f MiB/s (median of %d)\n", windowed, MiBps(windowed),
                kRuns);
    std::printf("  512-byte lock-step:          %8.3f s  %8.2f MiB/s\n", lockstep, MiBps(lockstep));
    std::printf("  ratio: %.1fx\n", lockstep / windowed);
    // A window in flight per round trip is all a windowed sender can do.
    std::sort(rtts.begin(), rtts.end());
    const double rtt = rtts[rtts.size() / 2] / 1000;
    if (rtt > 0)
        std::printf("  link limit, window / round trip: 16 x 1428 B / %.3f ms = %.2f MiB/s (%.0f%% reached)\n",
                    rtt * 1000, 16 * 1428 / rtt / (1 << 20), 100 * MiBps(windowed) / (16 * 1428 / rtt / (1 << 20)));
}

struct Link
{
    const char *name;
    double loss, duplicate, reorder;
};

const Link kLinks[] = {
    {"1% loss", 0.01, 0, 0},
    {"10% loss", 0.10, 0, 0},
    {"10% duplication", 0, 0.10, 0},
    {"25% reordering", 0, 0, 0.25},
};

// One upload through the relay; prints its line.
void ImpairedOnce(const char *server, const Link &link, uint32_t address, uint16_t port,
                  const std::vector<uint8_t> &image, const std::string &name, bool windowed)
{
    testsupport::Impairment impairment;
    impairment.loss = link.loss;
    impairment.duplicate = link.duplicate;
    impairment.reorder = link.reorder;
    impairment.seed = 1;
    testsupport::UdpRelay relay(address, port, impairment);
    tvp::tftp::UploadStats stats;
    const auto start = Clock::now();
    const bool ok = Upload(relay.port(), image, true, name, &stats);
    const double seconds = Seconds(Clock::now() - start);
    const double blocks = static_cast<double>(image.size() / 1428 + 1);
    std::printf("  %-10s %-16s %s %7.2f s  %5.2f x blocks sent  %4u restarts  %4u time-outs  rto %.0f ms%s\n", server,
                link.name, ok ? "ok  " : "FAIL", seconds, stats.blocksSent / blocks, stats.restarts, stats.timeouts,
                stats.rtoMs, windowed ? "" : "  (lock-step)");
}

void Impaired(const std::vector<uint8_t> &image)
{
    std::printf("impaired links, 4 MiB, blksize 1428, relay seed 1:\n");
    {
        devsim::TftpServerConfig c;
        c.behaviourFor = [](uint32_t) { return std::optional(devsim::UpgradeBehaviour::Succeed); };
        devsim::TftpServer server(c);
        if (server.Start())
            for (const Link &link : kLinks)
                ImpairedOnce("simulator", link, tftptest::kLoopback, server.Port(), image, "impaired.bin", true);
    }
    if (tftptest::Atftpd::Available()) {
        testsupport::TempDir root;
        tftptest::Atftpd atftpd(root.path());
        int i = 0;
        if (atftpd.running())
            for (const Link &link : kLinks)
                ImpairedOnce("atftpd", link, tftptest::kLoopback, atftpd.port(), image,
                             "impaired" + std::to_string(i++), true);
        else
            std::printf("  atftpd: did not start\n");
    } else {
        std::printf("  atftpd: skipped, not installed (or $NETSCRY_ATFTPD names no program)\n");
    }
    if (!tftptest::Tftpd::Available()) {
        std::printf("  tftpd-hpa: skipped, in.tftpd missing (or no loopback-only bind address)\n");
        return;
    }
    testsupport::TempDir root;
    tftptest::Tftpd tftpd(root.path());
    if (!tftpd.running()) {
        std::printf("  tftpd-hpa: did not start\n");
        return;
    }
    int i = 0;
    for (const Link &link : kLinks)
        ImpairedOnce("tftpd-hpa", link, tftptest::kLoopback, tftpd.port(), image, "impaired" + std::to_string(i++),
                     false);
}

void Tftpd(const std::vector<uint8_t> &image)
{
    if (!tftptest::Tftpd::Available() || access(kCurl, X_OK) != 0) {
        std::printf("tftpd-hpa: skipped, in.tftpd or curl missing (or no loopback-only bind address)\n");
        return;
    }
    testsupport::TempDir root, src;
    tftptest::Tftpd tftpd(root.path());
    if (!tftpd.running()) {
        std::printf("tftpd-hpa: did not start\n");
        return;
    }
    const std::string file = src.path() + "/image.bin";
    tftptest::WriteFile(file, image);
    // alternate, so that neither side has the warmer caches throughout
    std::vector<double> ours, curls;
    for (int i = 0; i < kRuns; ++i) {
        auto start = Clock::now();
        if (!Upload(tftpd.port(), image, true, "ours" + std::to_string(i))) {
            std::printf("tftpd-hpa: our upload failed\n");
            return;
        }
        ours.push_back(Seconds(Clock::now() - start));
        start = Clock::now();
        if (!Curl(file, tftpd.port(), "curl" + std::to_string(i))) {
            std::printf("tftpd-hpa: curl failed\n");
            return;
        }
        curls.push_back(Seconds(Clock::now() - start));
    }
    // curl's own start-up, measured with a one-byte upload
    const std::string tiny = src.path() + "/tiny.bin";
    tftptest::WriteFile(tiny, {0});
    const double start = Median(kRuns, [&](int i) { return Curl(tiny, tftpd.port(), "tiny" + std::to_string(i)); });
    std::sort(ours.begin(), ours.end());
    std::sort(curls.begin(), curls.end());
    const double a = ours[kRuns / 2], b = curls[kRuns / 2];
    std::printf("tftpd-hpa on loopback, blksize 1428 (tftpd-hpa grants no windowsize), 4 MiB, median of %d:\n", kRuns);
    std::printf("  library client: %8.3f s  %8.2f MiB/s\n", a, MiBps(a));
    std::printf("  curl -T:        %8.3f s  %8.2f MiB/s (process start included)\n", b, MiBps(b));
    std::printf("  ratio (library/curl throughput): %.2f\n", b / a);
    if (start > 0 && start < b)
        std::printf("  curl start-up (1-byte upload) %.3f s; ratio without it: %.2f\n", start, (b - start) / a);
}

} // namespace

int main()
{
    const auto image = tftptest::RandomImage(kImage, 1);
    const char *only = std::getenv("BENCH_TFTP_ONLY"); // "simulator", "tftpd" or "impaired"
    const auto run = [only](const char *part) { return !only || std::strcmp(only, part) == 0; };
    if (run("simulator"))
        Simulator(image);
    if (run("tftpd"))
        Tftpd(image);
    if (run("impaired"))
        Impaired(image);
    return 0;
}
