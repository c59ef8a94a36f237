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

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

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

struct Options
{
    devsim::ServerConfig server;
    int tftpPort = tvp::wire::kDefaultTftpPort;
    std::string jsonPath, tftpBind = "0.0.0.0", storeDir;
    int generated = -1;
    double unreachable = 0.0;
    bool quiet = false;
    bool ownAddress = false;
    std::vector<std::string> vanishing; // MACs
};

// A share of requests or devices, 0 to 1 (CLI::Range lets "nan" through).
const CLI::Validator kShare(
    [](std::string &text) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        return !text.empty() && !*end && v >= 0 && v <= 1 ? std::string() : "\"" + text + "\" is no share from 0 to 1";
    },
    "SHARE in [0 - 1]");

void AddOptions(CLI::App &app, Options &o)
{
    auto &c = o.server;
    const std::string devices = "Devices (default: the sample LAN)", network = "Network", faults = "Faults";
    app.add_option("--json,--config", o.jsonPath, "devices from a JSON file (see devsim/sample-lan.json)")
        ->type_name("FILE")
        ->group(devices);
    app.add_option("--devices", o.generated, "N generated devices Sim-0001... at 127.1.0.2/8 on")
        ->type_name("N")
        ->check(CLI::Range(0, 1000000))
        ->group(devices);
    app.add_option("--unreachable", o.unreachable, "share of generated devices that answer no probe (0..1)")
        ->check(kShare)
        ->group(devices);
    app.add_option("--port", c.port, "TVP UDP port (default 30718; 0: ephemeral)")->type_name("N")->group(network);
    app.add_option("--tftp-port", o.tftpPort, "TFTP port (default 69; 0: ephemeral)")
        ->type_name("N")
        ->check(CLI::Range(0, 65535))
        ->group(network);
    app.add_option("--interface", c.interface,
                   "tie the sockets to this interface (default: loopback, lo; \"\" for none)")
        ->type_name("NAME")
        ->group(network);
    app.add_option("--bind", c.bindAddress, "TVP bind address (default 0.0.0.0, limited by --interface)")
        ->type_name("ADDRESS")
        ->group(network);
    app.add_flag("--own-address", o.ownAddress,
                 "play one device that holds its own address on --interface (set at start and on every SetIP; "
                 "needs the ip tool and the right to change that interface, e.g. in a namespace)")
        ->group(network);
    app.add_option("--tftp-bind", o.tftpBind, "TFTP bind address (default 0.0.0.0, limited by --interface)")
        ->type_name("ADDRESS")
        ->group(network);
    app.add_option("--store", o.storeDir, "keep each received image as DIR/<device address>/<file name>")
        ->type_name("DIR")
        ->group("Upgrades");
    app.add_option("--reply-delay-ms", c.replyDelayMs, "delay every answer")
        ->type_name("N")
        ->check(CLI::Range(0, 60000))
        ->group(faults);
    app.add_option("--loss", c.lossRate, "ignore this share of requests (TFTP: of packets)")
        ->check(kShare)
        ->group(faults);
    app.add_flag("--duplicate", c.duplicate, "send every answer twice")->group(faults);
    app.add_option("--malformed", c.malformedRate, "corrupt this share of answers")->check(kShare)->group(faults);
    app.add_option("--seed", c.seed, "random seed of the fault knobs (default 1)")->type_name("N")->group(faults);
    app.add_option("--vanish-when-moved", o.vanishing,
                   "this device (its MAC) acknowledges a SetIP that moves it, then answers nothing but SetIP until "
                   "one gives it its first address back (repeatable; JSON: \"vanishesWhenMoved\": true)")
        ->type_name("MAC")
        ->group(faults);
    app.add_flag("--quiet", o.quiet, "no line per request")->group(faults);
}

// The options, or the exit code of a run that ends here (--help, a bad
// option).
std::optional<int> ParseOptions(int argc, char **argv, Options &o)
{
    CLI::App app{"tvp-devsim: plays any number of TVP devices on one link (loopback by default) for tests, "
                 "benchmarks and demonstrations.",
                 "tvp-devsim"};
    app.footer("Prints \"READY port=<udp> tftp-port=<tftp>\" on stdout once listening, and one \"received\" line "
               "per complete image with its size and SHA-256.");
    // "/x" stays an argument (a file), as on every other system
    app.allow_windows_style_options(false);
    app.option_defaults()->take_last();
    AddOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "tvp-devsim: %s\n", e.what());
        return 2;
    }
    return std::nullopt;
}

// --vanish-when-moved: false when a MAC names no device played.
bool MarkVanishing(const Options &o, std::vector<devsim::Device> *devices)
{
    for (const auto &mac : o.vanishing) {
        tvp::wire::DeviceId id{};
        const bool parsed = tvp::wire::ParseMac(mac, &id);
        auto d = std::find_if(devices->begin(), devices->end(), [&](const devsim::Device &x) { return x.id == id; });
        if (!parsed || d == devices->end()) {
            std::fprintf(stderr, "tvp-devsim: --vanish-when-moved %s: no device played has that MAC\n", mac.c_str());
            return false;
        }
        d->vanishesWhenMoved = true;
    }
    return true;
}

// The devices to play; false when the device file cannot be read.
bool LoadDeviceList(Options &o, std::vector<devsim::Device> *devices)
{
    if (o.generated >= 0) {
        *devices = devsim::GenerateDevices(o.generated, o.unreachable);
        return MarkVanishing(o, devices);
    }
    std::string error;
    if (o.jsonPath.empty())
        o.jsonPath = SampleLanPath();
    if (devsim::LoadDevices(o.jsonPath, devices, &error))
        return MarkVanishing(o, devices);
    std::fprintf(stderr, "tvp-devsim: %s: %s\n", o.jsonPath.c_str(), error.c_str());
    return false;
}

// --own-address: the device's address on the interface, now and after
// every SetIP. The exit code when that cannot be.
std::optional<int> HoldOwnAddress(Options &o, const std::vector<devsim::Device> &devices, const std::string &loopback)
{
    auto &config = o.server;
    if (devices.size() != 1 || config.interface.empty() || config.interface == loopback) {
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
    return std::nullopt;
}

bool PrepareStore(const std::string &storeDir)
{
    if (storeDir.empty())
        return true;
    std::error_code ec;
    const auto store = devsim::PathFromUtf8(storeDir);
    if (store)
        std::filesystem::create_directories(*store, ec);
    if (!store || ec || !std::filesystem::is_directory(*store, ec)) {
        std::fprintf(stderr, "tvp-devsim: --store %s: not a folder that can be written (%s)\n", storeDir.c_str(),
                     !store ? "not a name the system takes"
                     : ec   ? ec.message().c_str()
                            : "exists as a file");
        return false;
    }
    return true;
}

devsim::TftpServerConfig TftpConfig(const Options &o, devsim::Server &server)
{
    const auto &config = o.server;
    devsim::TftpServerConfig tftp;
    tftp.bindAddress = o.tftpBind;
    // Tied to the same link as the protocol socket, so the wildcard bind
    // never listens on the machine's other interfaces.
    tftp.bindInterface = config.interface;
    tftp.port = uint16_t(o.tftpPort);
    tftp.replyDelayMs = config.replyDelayMs;
    tftp.lossRate = config.lossRate;
    tftp.duplicate = config.duplicate;
    tftp.behaviourFor = [&server](uint32_t address) { return server.BehaviourAt(address); };
    tftp.seed = config.seed;
    tftp.received = [storeDir = o.storeDir](uint32_t address, const std::string &name, std::vector<uint8_t> image) {
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
    tftp.log = config.log;
    return tftp;
}

void PrintReady(const Options &o, const std::vector<devsim::Device> &devices, uint16_t port, unsigned tftpPort)
{
    for (const auto &d : devices)
        if (!o.quiet && devices.size() <= 64)
            Print("device " + tvp::wire::FormatMac(d.id) + " \"" + d.name + "\" " +
                  tvp::wire::FormatDottedQuad(d.address) + (d.answersProbes ? "" : " (answers no probe)") +
                  (d.vanishesWhenMoved ? " (vanishes when moved)" : "") + " upgrade " +
                  devsim::BehaviourName(d.upgrade));
    const auto &config = o.server;
    Print(std::to_string(devices.size()) + " devices on " +
          (config.interface.empty() ? std::string("any interface") : config.interface) + ", " + config.bindAddress +
          ":" + std::to_string(port));
    std::lock_guard lock(g_outMutex);
    std::printf("READY port=%u tftp-port=%u\n", unsigned(port), tftpPort);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    o.server.port = tvp::wire::kDefaultPort;
    // with no loopback up, a name that fails to open rather than no tie at all
    const std::string loopback = devsim::sock::LoopbackName();
    o.server.interface = loopback.empty() ? "lo" : loopback;
    if (const auto done = ParseOptions(argc, argv, o))
        return *done;

    std::vector<devsim::Device> devices;
    if (!LoadDeviceList(o, &devices))
        return 2;
    if (o.ownAddress)
        if (const auto failed = HoldOwnAddress(o, devices, loopback))
            return *failed;
    o.server.log = [quiet = o.quiet](const std::string &line) {
        if (!quiet)
            Print(line);
    };
    devsim::Server server(o.server, devices);
    std::string error;
    if (!server.Open(&error)) {
        std::fprintf(stderr, "tvp-devsim: %s\n", error.c_str());
        return 1;
    }
    if (!PrepareStore(o.storeDir))
        return 2;

    devsim::TftpServer tftpServer(TftpConfig(o, server));
    if (!tftpServer.Start()) {
        std::fprintf(stderr, "tvp-devsim: the TFTP server could not start on %s:%d\n", o.tftpBind.c_str(), o.tftpPort);
        return 1;
    }
    static devsim::sock::Waker stopWaker;
    if (!stopWaker.Open()) {
        std::fprintf(stderr, "tvp-devsim: %s\n", devsim::sock::LastError().c_str());
        return 1;
    }
    devsim::StopOnSignals(&g_stop, &stopWaker);

    PrintReady(o, devices, server.Port(), tftpServer.Port());
    server.Run(&g_stop, stopWaker.Handle());
    tftpServer.Stop();
    Print("stopped");
    return 0;
}
