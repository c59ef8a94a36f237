// SPDX-License-Identifier: MIT
// tvp-devsim: plays any number of TVP devices on one link (loopback by
// default) for tests, benchmarks and demonstrations. See --help.
#include "devices.h"
#include "image_file.h"
#include "image_store.h"
#include "own_address.h"
#include "process.h"
#include "server.h"
#include "sockets.h"
#include "tftp_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: tvp-devsim [options]\n"
    "devices (default: the sample LAN):\n"
    "  --json FILE            devices from a JSON file (see devsim/sample-lan.json);\n"
    "  --config FILE          the same\n"
    "  --devices N            N generated devices Sim-0001... at 127.1.x.y/8\n"
    "  --unreachable SHARE    share of generated devices that answer no probe (0..1)\n"
    "network:\n"
    "  --port N               TVP UDP port (default 30718; 0: ephemeral)\n"
    "  --tftp-port N          TFTP port (default 69; 0: ephemeral)\n"
    "  --interface NAME       tie the sockets to this interface (default: loopback, lo;\n"
    "                         \"\" for none)\n"
    "  --bind ADDRESS         TVP bind address (default 0.0.0.0, limited by --interface)\n"
    "  --own-address          play one device that holds its own address on --interface\n"
    "                         (set at start and on every SetIP; needs the ip tool and\n"
    "                         the right to change that interface, e.g. in a namespace)\n"
    "  --tftp-bind ADDRESS    TFTP bind address (default 0.0.0.0, limited by --interface)\n"
    "upgrades:\n"
    "  --store DIR            keep each received image as DIR/<device address>/<file name>\n"
    "faults:\n"
    "  --reply-delay-ms N     delay every answer\n"
    "  --loss SHARE           ignore this share of requests (TFTP: of packets)\n"
    "  --duplicate            send every answer twice\n"
    "  --malformed SHARE      corrupt this share of answers\n"
    "  --seed N               random seed of the fault knobs (default 1)\n"
    "  --quiet                no line per request\n"
    "Prints \"READY port=<udp> tftp-port=<tftp>\" on stdout once listening, and one\n"
    "\"received\" line per complete image with its size and SHA-256.\n";

volatile bool g_stop = false;

std::mutex g_outMutex;
const auto g_start = std::chrono::steady_clock::now();

void Print(const std::string &line)
{
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    std::lock_guard lock(g_outMutex);
    std::fprintf(stdout, "[%10.6f] %s\n", t, line.c_str());
    std::fflush(stdout);
}

bool ParseNumber(const char *text, double lo, double hi, double *out)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (!*text || *end || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

// The sample LAN: the installed copy beside the program (PREFIX/bin ->
// PREFIX/share/netscry), else the source tree's for a program run from its
// build tree.
std::string SampleLanPath()
{
    const std::string dir = devsim::ProgramDirectory();
    if (!dir.empty()) {
        const std::string installed = dir + "../" NETSCRY_SAMPLE_LAN_INSTALLED;
        std::error_code ec;
        const auto path = devsim::PathFromUtf8(installed);
        if (path && std::filesystem::is_regular_file(*path, ec))
            return installed;
    }
    return NETSCRY_SAMPLE_LAN;
}

} // namespace

int main(int argc, char **argv)
{
    devsim::ServerConfig config;
    config.port = tvp::wire::kDefaultPort;
    // with no loopback up, a name that fails to open rather than no tie at all
    const std::string loopback = devsim::sock::LoopbackName();
    config.interface = loopback.empty() ? "lo" : loopback;
    int tftpPort = tvp::wire::kDefaultTftpPort;
    std::string jsonPath, tftpBind = "0.0.0.0", storeDir;
    int generated = -1;
    double unreachable = 0.0;
    bool quiet = false;
    bool ownAddress = false;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](double lo, double hi) {
            double v = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], lo, hi, &v)) {
                std::fprintf(stderr, "tvp-devsim: %s needs a number from %g to %g\n%s", a.c_str(), lo, hi, kUsage);
                std::exit(2);
            }
            ++i;
            return v;
        };
        auto text = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tvp-devsim: %s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--json" || a == "--config") {
            jsonPath = text();
        } else if (a == "--devices") {
            generated = int(value(0, 1000000));
        } else if (a == "--unreachable") {
            unreachable = value(0, 1);
        } else if (a == "--port") {
            config.port = uint16_t(value(0, 65535));
        } else if (a == "--tftp-port") {
            tftpPort = int(value(0, 65535));
        } else if (a == "--interface") {
            config.interface = text();
        } else if (a == "--bind") {
            config.bindAddress = text();
        } else if (a == "--tftp-bind") {
            tftpBind = text();
        } else if (a == "--store") {
            storeDir = text();
        } else if (a == "--reply-delay-ms") {
            config.replyDelayMs = int(value(0, 60000));
        } else if (a == "--loss") {
            config.lossRate = value(0, 1);
        } else if (a == "--duplicate") {
            config.duplicate = true;
        } else if (a == "--malformed") {
            config.malformedRate = value(0, 1);
        } else if (a == "--seed") {
            config.seed = uint32_t(value(0, 4294967295.0));
        } else if (a == "--own-address") {
            ownAddress = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "tvp-devsim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }

    std::vector<devsim::Device> devices;
    if (generated >= 0) {
        devices = devsim::GenerateDevices(generated, unreachable);
    } else {
        std::string error;
        if (jsonPath.empty())
            jsonPath = SampleLanPath();
        if (!devsim::LoadDevices(jsonPath, &devices, &error)) {
            std::fprintf(stderr, "tvp-devsim: %s: %s\n", jsonPath.c_str(), error.c_str());
            return 2;
        }
    }

    if (ownAddress) {
        if (devices.size() != 1 || config.interface.empty() ||
            config.interface == loopback) {
            std::fprintf(stderr, "tvp-devsim: --own-address plays exactly one device on an --interface other than lo\n");
            return 2;
        }
        std::string error;
        if (!devsim::HoldAddress(config.interface, devices[0], &error)) {
            std::fprintf(stderr, "tvp-devsim: %s\n", error.c_str());
            return 1;
        }
        config.settingsChanged = [interface = config.interface](const devsim::Device &d) {
            std::string error;
            if (!d.dhcp && !devsim::HoldAddress(interface, d, &error))
                Print("own address: " + error);
        };
    }
    config.log = [quiet](const std::string &line) {
        if (!quiet)
            Print(line);
    };
    devsim::Server server(config, devices);
    std::string error;
    if (!server.Open(&error)) {
        std::fprintf(stderr, "tvp-devsim: %s\n", error.c_str());
        return 1;
    }

    if (!storeDir.empty()) {
        std::error_code ec;
        const auto store = devsim::PathFromUtf8(storeDir);
        if (store)
            std::filesystem::create_directories(*store, ec);
        if (!store || ec || !std::filesystem::is_directory(*store, ec)) {
            std::fprintf(stderr, "tvp-devsim: --store %s: not a folder that can be written (%s)\n", storeDir.c_str(),
                         !store ? "not a name the system takes" : ec ? ec.message().c_str() : "exists as a file");
            return 2;
        }
    }

    devsim::TftpServerConfig tftp;
    tftp.bindAddress = tftpBind;
    // Tied to the same link as the protocol socket, so the wildcard bind
    // never listens on the machine's other interfaces.
    tftp.bindInterface = config.interface;
    tftp.port = uint16_t(tftpPort);
    tftp.replyDelayMs = config.replyDelayMs;
    tftp.lossRate = config.lossRate;
    tftp.duplicate = config.duplicate;
    tftp.behaviourFor = [&server](uint32_t address) { return server.BehaviourAt(address); };
    tftp.seed = config.seed;
    tftp.received = [storeDir](uint32_t address, const std::string &name, std::vector<uint8_t> image) {
        std::string line = "tftp: " + tvp::wire::FormatDottedQuad(address) + " received \"" +
                           tvp::wire::CleanText(name) + "\", " + std::to_string(image.size()) + " bytes, sha256 " +
                           devsim::Sha256Hex(image.data(), image.size());
        if (!storeDir.empty()) {
            std::string error;
            const std::string path = devsim::StoreImage(storeDir, address, name, image, &error);
            line += path.empty() ? ", not stored: " + error : ", stored as " + path;
        }
        Print(line);
    };
    tftp.log = [quiet](const std::string &line) {
        if (!quiet)
            Print(line);
    };
    devsim::TftpServer tftpServer(tftp);
    if (!tftpServer.Start()) {
        std::fprintf(stderr, "tvp-devsim: the TFTP server could not start on %s:%d\n", tftpBind.c_str(), tftpPort);
        return 1;
    }
    const unsigned tftpListening = tftpServer.Port();

    static devsim::sock::Waker stopWaker;
    if (!stopWaker.Open()) {
        std::fprintf(stderr, "tvp-devsim: %s\n", devsim::sock::LastError().c_str());
        return 1;
    }
    devsim::StopOnSignals(&g_stop, &stopWaker);

    for (const auto &d : devices)
        if (!quiet && devices.size() <= 64)
            Print("device " + tvp::wire::FormatMac(d.id) + " \"" + d.name + "\" " +
                  tvp::wire::FormatDottedQuad(d.address) + (d.answersProbes ? "" : " (answers no probe)") +
                  " upgrade " + devsim::BehaviourName(d.upgrade));
    Print(std::to_string(devices.size()) + " devices on " +
          (config.interface.empty() ? std::string("any interface") : config.interface) + ", " + config.bindAddress +
          ":" + std::to_string(server.Port()));
    {
        std::lock_guard lock(g_outMutex);
        std::printf("READY port=%u tftp-port=%u\n", unsigned(server.Port()), tftpListening);
        std::fflush(stdout);
    }
    server.Run(&g_stop, stopWaker.Handle());
    tftpServer.Stop();
    Print("stopped");
    return 0;
}
