// SPDX-License-Identifier: MIT
// Drives the Windows build of the library against the simulator on
// loopback and checks what comes back.
//
//   tvp_smoke.exe [--upgrades-only] [--store=FOLDER] MAC=ADDRESS[,noprobe][,upgrade=BEHAVIOUR] ...
//
// One argument per simulated device: its ID text and address, "noprobe"
// for one that answers no probe, and its upgrade behaviour when not
// "succeed". FOLDER is where the simulator keeps received images; without
// it no upgrade is tried; with --upgrades-only nothing else is (for a
// simulator that loses and duplicates packets). Without TVP_INTERFACES the loopback adapter is
// chosen by its type, under whatever name the system gives it. Exit status
// 0 when every check passed.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include "smoke.h"
#include "tvp.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Found
{
    std::string interfaceText, address, name, type;
};

struct Reply
{
    std::string address, mask, gateway;
    bool dhcp = false;
};

std::multimap<std::string, Found> g_found;
std::map<std::string, Reply> g_replies;
std::map<std::string, std::string> g_setReplies;
int g_failures = 0;
int g_passes = 0;
std::mutex g_checks;

std::string Text(const char *s)
{
    return s ? s : "";
}

void TVP_CALL OnEvent(uint32_t code, const void *record)
{
    switch (code) {
    case TVPEventLog: std::printf("  log: %s\n", Text(static_cast<const TVPLogRecord *>(record)->Text).c_str()); break;
    case TVPEventDeviceFound: {
        const auto *r = static_cast<const TVPDeviceFoundRecord *>(record);
        g_found.emplace(Text(r->ID), Found{Text(r->Interface), Text(r->IPAddress), Text(r->Name), Text(r->Type)});
        break;
    }
    case TVPEventGetIPReply: {
        const auto *r = static_cast<const TVPGetIPReplyRecord *>(record);
        g_replies[Text(r->ID)] =
            Reply{Text(r->IPAddress), Text(r->SubnetMask), Text(r->DefaultGateway), r->UseDHCP != 0};
        break;
    }
    case TVPEventUpgrade: smoke::OnUpgradeEvent(record); break;
    case TVPEventSetIPReply: {
        const auto *r = static_cast<const TVPSetIPReplyRecord *>(record);
        g_setReplies[Text(r->ID)] = Text(r->IPAddress);
        break;
    }
    default: break;
    }
}

} // namespace

void smoke::Check(bool ok, const std::string &what)
{
    std::lock_guard<std::mutex> lock(g_checks);
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(ok ? g_passes : g_failures);
}

namespace {

using smoke::Check;
using smoke::Device;

// Runs the event loop as a Windows host would: wait on the event socket,
// then deliver. Stops once `done` holds or the time is up.
void Pump(int ms, const std::function<bool()> &done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const SOCKET handle = SOCKET(TVPEventHandle());
    while (!done() && std::chrono::steady_clock::now() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(handle, &readable);
        timeval step{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &step) > 0)
            TVPProcessEvents();
    }
    TVPProcessEvents();
}

std::string LoopbackName()
{
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    auto *list = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size) == ERROR_BUFFER_OVERFLOW) {
        buffer.resize(size);
        list = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
    }
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size) != NO_ERROR)
        return {};
    for (auto *a = list; a; a = a->Next) {
        if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK || !a->FriendlyName)
            continue;
        char name[256];
        if (WideCharToMultiByte(CP_UTF8, 0, a->FriendlyName, -1, name, sizeof name, nullptr, nullptr) > 0)
            return name;
    }
    return {};
}

// Discovery, probes and settings, each checked against what the
// simulator plays.
void LanChecks(const std::vector<Device> &devices, const std::string &wanted)
{
    // discovery: every device once at least, each from the loopback adapter
    Check(TVPDiscover() == 0, "discovery sent");
    Pump(3500, [&] {
        for (const auto &d : devices)
            if (!g_found.count(d.id))
                return false;
        return true;
    });
    for (const auto &d : devices) {
        auto range = g_found.equal_range(d.id);
        bool same = range.first != range.second;
        for (auto it = range.first; it != range.second; ++it)
            same = same && it->second.address == d.address && !it->second.name.empty() &&
                   it->second.interfaceText.rfind(wanted + " (127.", 0) == 0;
        Check(same, "found " + d.id + " at " + d.address +
                        (range.first != range.second ? " on \"" + range.first->second.interfaceText + "\"" : ""));
    }

    // probes: a device that answers, one that keeps silent, an address off every subnet
    for (const auto &d : devices)
        if (d.address.rfind("127.", 0) == 0)
            Check(TVPPingDevice(d.address.c_str()) == (d.answersProbes ? 1 : 0),
                  "probe of " + d.address + (d.answersProbes ? " answered" : " not answered"));
    Check(TVPPingDevice("10.255.255.254") == 0, "probe off every subnet not answered");
    Check(TVPPingDevice("127.0.0.256") == 0, "probe of a malformed address refused");
    Check(TVPPingAddress("127.0.0.256") == TVPNotSentInvalid, "routed probe of a malformed address refused");

    // the address checks of plans: a device that answers probes holds its address
    for (const auto &d : devices)
        if (d.answersProbes && d.address.rfind("127.", 0) == 0 && g_found.count(d.id)) {
            const std::string card = g_found.find(d.id)->second.interfaceText;
            const char *addresses[] = {d.address.c_str()};
            int32_t uses[1] = {-9};
            const int rc = TVPAddressesInUse(card.c_str(), addresses, 1, uses);
            Check(rc == 0 && uses[0] == TVPAddressDevice,
                  "address check of " + d.address + " on \"" + card + "\": " + std::to_string(uses[0]));
            break;
        }

    // settings: read one device's, change them, read them back
    const Device &target = devices.front();
    uint8_t id[TVP_ID_SIZE];
    Check(TVPMacToID(target.id.c_str(), id) == 0, "ID of " + target.id);
    uint8_t bad[TVP_ID_SIZE];
    Check(TVPMacToID("00:1A:2B:00:00", bad) == -1, "a short ID text refused");
    Check(TVPGetIP(id) == 0, "settings asked");
    Pump(2500, [&] { return g_replies.count(target.id) != 0; });
    Check(g_replies.count(target.id) && g_replies[target.id].address == target.address,
          "settings of " + target.id + ": " + (g_replies.count(target.id) ? g_replies[target.id].address : "none"));
    const Reply before = g_replies[target.id];

    const std::string moved = "127.0.0.99";
    Check(TVPSetIP(id, moved.c_str(), "255.0.0.0", "", 0) == 0, "new settings sent");
    Check(TVPSetIP(id, "127.0.0.0", "255.0.0.0", "", 0) == -1, "the network address refused");
    Pump(2500, [&] { return g_setReplies.count(target.id) != 0; });
    Check(g_setReplies.count(target.id) != 0, "new settings acknowledged");
    g_replies.clear();
    Check(TVPGetIP(id) == 0, "settings asked again");
    Pump(2500, [&] { return g_replies.count(target.id) != 0; });
    Check(g_replies.count(target.id) && g_replies[target.id].address == moved,
          "settings now " + (g_replies.count(target.id) ? g_replies[target.id].address : std::string("none")));
    // the unicast forms: read it at its new address, then put it back there
    // (so a second run finds the same LAN)
    g_replies.clear();
    Check(TVPGetIPAt(id, "127.0.0.256") == TVPNotSentInvalid, "settings at a malformed address refused");
    Check(TVPGetIPAt(id, moved.c_str()) == 0, "settings asked at " + moved);
    Pump(2500, [&] { return g_replies.count(target.id) != 0; });
    Check(g_replies.count(target.id) && g_replies[target.id].address == moved, "answered from " + moved);
    g_setReplies.clear();
    Check(TVPSetIPAt(id, moved.c_str(), before.address.c_str(), before.mask.c_str(), before.gateway.c_str(),
                     before.dhcp) == 0,
          "old settings sent to " + moved);
    Pump(2500, [&] { return g_setReplies.count(target.id) != 0; });
    Check(g_setReplies.count(target.id) && g_setReplies[target.id] == before.address,
          "old settings acknowledged from " + moved);
}

// What the library counted on the loopback adapter during the checks above.
void DiagnosticsChecks(const std::vector<Device> &devices, const std::string &wanted)
{
    TVPInterfaceReport reports[32];
    const int count = TVPGetDiagnostics(reports, 32, 1);
    Check(count >= 1, "diagnostics of " + std::to_string(count) + " interfaces");
    const TVPInterfaceReport *lo = nullptr;
    for (int i = 0; i < count && i < 32; ++i)
        if (wanted == reports[i].Name)
            lo = &reports[i];
    Check(lo && lo->Use == TVPInterfaceUsed && lo->DiscoversSent >= 1 && lo->BytesSent > 0,
          "diagnostics: the loopback adapter in use, the Discover counted");
    Check(lo && lo->Devices >= devices.size() && lo->Answers >= lo->Devices,
          "diagnostics: " + std::to_string(lo ? lo->Devices : 0) + " devices answered");
    Check(TVPGetDiagnostics(reports, 32, 0) == count && reports[0].DiscoversSent == 0, "diagnostics cleared");
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<Device> devices;
    std::string store;
    bool upgradesOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--upgrades-only") {
            upgradesOnly = true;
            continue;
        }
        if (arg.rfind("--store=", 0) == 0) {
            store = arg.substr(8);
            continue;
        }
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            std::fprintf(
                stderr,
                "usage: tvp_smoke [--upgrades-only] [--store=FOLDER] MAC=ADDRESS[,noprobe][,upgrade=BEHAVIOUR] ...\n");
            return 2;
        }
        Device d{arg.substr(0, eq), arg.substr(eq + 1)};
        const size_t comma = d.address.find(',');
        std::string flags = comma == std::string::npos ? "" : d.address.substr(comma + 1) + ",";
        if (comma != std::string::npos)
            d.address.resize(comma);
        for (size_t at = 0, end; (end = flags.find(',', at)) != std::string::npos; at = end + 1) {
            const std::string flag = flags.substr(at, end - at);
            if (flag == "noprobe")
                d.answersProbes = false;
            else if (flag.rfind("upgrade=", 0) == 0)
                d.upgrade = flag.substr(8);
        }
        devices.push_back(d);
    }
    if (devices.empty()) {
        std::fprintf(stderr, "tvp_smoke: no devices given\n");
        return 2;
    }

    if (!std::getenv("TVP_INTERFACES")) {
        const std::string lo = LoopbackName();
        std::printf("loopback adapter: \"%s\"\n", lo.c_str());
        if (lo.empty()) {
            std::fprintf(stderr, "tvp_smoke: no loopback adapter listed\n");
            return 1;
        }
        _putenv_s("TVP_INTERFACES", lo.c_str());
    }
    const std::string wanted = std::getenv("TVP_INTERFACES");
    TVPSetApplicationCallback(OnEvent, std::getenv("TVP_SMOKE_DEBUG") ? 1 : 0);

    char names[512] = {};
    const int length = TVPGetInterfaces(names, sizeof names);
    Check(length > 0 && names == wanted, "interfaces in use: \"" + std::string(names) + "\"");
    Check(TVPEventHandle() != -1, "the event handle is a socket");

    if (!upgradesOnly) {
        LanChecks(devices, wanted);
        DiagnosticsChecks(devices, wanted);
    }

    if (store.empty())
        std::printf("upgrades skipped: no --store folder given\n");
    else
        smoke::UpgradeChecks(devices, store);

    TVPCleanup();
    std::printf("%d passed, %d failed\n", g_passes, g_failures);
    return g_failures == 0 ? 0 : 1;
}
