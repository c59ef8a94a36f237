// SPDX-License-Identifier: MIT
// netscry-cli: every device operation of Netscry from a script.
#include "common.h"
#include "doctor_command.h"
#include "glob.h"
#include "library.h"
#include "output.h"
#include "plan.h"
#include "system.h"
#include "sweep.h"
#include "upgrade.h"
#include "watch_command.h"

#include "address.h"
#include "tvp.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <set>
#include <sstream>

using namespace cli;
namespace wire = tvp::wire;

namespace {

// GetIP and SetIP are given up by the library at 2.5 s; wait a little longer.
constexpr auto kAnswerWait = std::chrono::seconds(3);

std::string IdArgument(const std::string &text)
{
    std::string id = CanonicalId(text);
    if (id.empty())
        throw UsageError("\"" + text + "\" is not a device ID (a MAC address such as 00:1A:2B:3C:4D:5E)");
    return id;
}

Value TextOrNone(const std::string &s)
{
    return s.empty() ? Value{} : Value{s};
}

// A device's address from --address: where a unicast request goes.
std::string DeviceAddressArgument(const std::string &text)
{
    const uint32_t address = AddressArgument("--address", text);
    if (!wire::IsUnicast(address))
        throw UsageError("--address " + text + " is not a unicast address");
    return wire::FormatDottedQuad(address);
}

// Two IDs at one address: the user hears of it even when reading JSON.
void WarnOfSharedAddresses(const std::vector<FoundDevice> &devices)
{
    for (const auto &[address, ids] : SharedAddresses(devices)) {
        std::string list;
        for (const auto &id : ids)
            list += (list.empty() ? "" : ", ") + id;
        std::cerr << "netscry-cli: warning: " << ids.size() << " devices report " << address << " (" << list
                  << "): a probe there can't tell them apart, so none of them is listed as reachable, and "
                     "whatever goes to that address may reach any of them; give each an address of its own\n";
    }
}

// --- discover ---------------------------------------------------------------

struct DiscoverArgs
{
    Common common;
    double timeout = 2.5;
    std::vector<std::string> targets;
    double rate = site::kDefaultSweepRate;
    bool broadcast = false;
    std::string save, compare; // site files
};

// The saved site against what was found, in the watch's event form; 0 when
// nothing differs, 1 otherwise.
int CompareWithSite(const std::vector<site::WatchDevice> &saved, const std::vector<FoundDevice> &found,
                    const Common &common)
{
    const auto events = site::CompareSite(saved, WatchDevices(found), site::WallClock::now());
    for (const auto &e : events)
        std::cout << EventLine(e, common.json) << "\n";
    return events.empty() ? 0 : 1;
}

int Discover(const DiscoverArgs &a)
{
    DiscoveryPlan plan;
    plan.targets = TargetArguments(a.targets);
    plan.timeoutS = a.timeout;
    plan.rate = a.rate;
    plan.broadcast = a.targets.empty() || a.broadcast;
    if (!a.compare.empty() && a.common.csv)
        throw UsageError("--compare prints events as lines or, with --json, JSON Lines; not CSV");
    // a broken site file is said before the discovery, not after
    const auto saved = a.compare.empty() ? std::vector<site::WatchDevice>{} : ReadSite(a.compare);
    Library library(a.common.Options());
    const auto found = library.Discover(plan);
    WarnOfSharedAddresses(found);
    int code = 0;
    if (!a.compare.empty())
        code = CompareWithSite(saved, found, a.common);
    else
        PrintDevices(std::cout, found, a.common.OutputFormat());
    if (!a.save.empty()) {
        std::ostringstream site;
        PrintDevices(site, found, Format::Json);
        SaveSite(a.save, site.str());
    }
    return code;
}

// --- doctor / watch -------------------------------------------------------------

struct DoctorArgs
{
    bool json = false;
    bool verbose = false;
};

struct WatchArgs
{
    Common common;
    double interval = 10;
};

// --- get / set ----------------------------------------------------------------

struct GetArgs
{
    Common common;
    std::string id;
    std::string address; // empty: by broadcast
};

// Throws the Failure that a request's result names; nothing when it was sent.
void RequireSent(const Library &library, int result, const std::string &what, const std::string &address)
{
    if (result == 0)
        return;
    if (result == TVPNotSentNoRoute)
        throw Failure("no route to " + address + " leaves by an interface in use (" + library.InterfaceNames() +
                      "); nothing was sent");
    if (result == TVPNotSentInvalid && !address.empty())
        throw Failure(what + " was not sent: no device can hold " + address +
                      " on its subnet (a network or broadcast address)");
    throw Failure(what + " could not be sent; run with -v for the library's reason");
}

// Why a device did not answer: by broadcast or at its address.
std::string Unanswered(const std::string &id, const std::string &address, const std::string &what)
{
    if (address.empty())
        return "device " + id + " " + what + " (" + BehindARouterHint() + ")";
    return "device " + id + " " + what + " at " + address +
           " (no device with that ID holds the address, or something on the way drops UDP port " +
           std::to_string(TVP_DEFAULT_PORT) + ")";
}

// The settings of the device `id`, asked by broadcast or at `address`.
std::optional<IpSettings> AskSettings(Library &library, const std::string &id, const std::string &address)
{
    uint8_t binary[TVP_ID_SIZE];
    TVPMacToID(id.c_str(), binary);
    RequireSent(library, address.empty() ? TVPGetIP(binary) : TVPGetIPAt(binary, address.c_str()),
                "the request to " + id, address);
    std::optional<IpSettings> reply;
    library.Pump(Clock::now() + kAnswerWait, [&] {
        for (auto &r : library.TakeGetIPReplies())
            if (CanonicalId(r.id) == id)
                reply = r;
        return reply.has_value();
    });
    return reply;
}

int Get(const GetArgs &a)
{
    const std::string id = IdArgument(a.id);
    const std::string address = a.address.empty() ? std::string() : DeviceAddressArgument(a.address);
    Library library(a.common.Options());
    library.RequireInterfaces();
    const auto reply = AskSettings(library, id, address);
    if (!reply)
        throw Failure(Unanswered(id, address, "did not answer"));
    Record record{{"id", id},
                  {"ip", reply->ip},
                  {"mask", reply->mask},
                  {"gateway", TextOrNone(reply->gateway)},
                  {"dhcp", reply->dhcp},
                  {"interface", reply->interface}};
    if (a.common.OutputFormat() == Format::Text)
        record.erase(record.begin());
    PrintOne(std::cout, record, a.common.OutputFormat());
    return 0;
}

struct SetArgs
{
    Common common;
    std::string id;
    std::string address; // empty: by broadcast
    bool dhcp = false;
    std::string ip, mask, gateway;
};

std::string WaitForAcknowledgement(Library &library, const std::string &id, const std::string &address = {})
{
    std::optional<std::string> acknowledged;
    library.Pump(Clock::now() + kAnswerWait, [&] {
        for (auto &[replyId, address] : library.TakeSetIPReplies())
            if (CanonicalId(replyId) == id)
                acknowledged = address;
        return acknowledged.has_value();
    });
    if (!acknowledged)
        throw Failure(address.empty() ? "device " + id +
                                            " did not acknowledge the settings (no answer, or it refused "
                                            "them; " +
                                            BehindARouterHint() + ")"
                                      : Unanswered(id, address, "did not acknowledge the settings (or refused them)"));
    return *acknowledged;
}

void PrintAddress(const Common &common, const std::string &id, const std::string &address)
{
    if (common.OutputFormat() == Format::Text)
        std::cout << address << "\n";
    else
        PrintOne(std::cout, Record{{"id", id}, {"ip", address}}, common.OutputFormat());
}

int Set(const SetArgs &a)
{
    const std::string id = IdArgument(a.id);
    if (a.dhcp == !a.ip.empty())
        throw UsageError("give either --dhcp or --ip with --mask");
    if (!a.dhcp) {
        if (a.mask.empty())
            throw UsageError("--ip needs --mask");
        const uint32_t ip = AddressArgument("--ip", a.ip), mask = AddressArgument("--mask", a.mask);
        if (!wire::IsMask(mask))
            throw UsageError("--mask " + a.mask + " is not a subnet mask");
        if (!wire::IsUnicast(ip))
            throw UsageError("--ip " + a.ip + " is not a unicast address");
        if (wire::IsNetworkOrBroadcast(ip, mask))
            throw UsageError("--ip " + a.ip + " is the network or broadcast address of its subnet");
        if (!a.gateway.empty())
            AddressArgument("--gateway", a.gateway);
    } else if (!a.mask.empty() || !a.gateway.empty()) {
        throw UsageError("--dhcp takes no --mask or --gateway");
    }
    const std::string address = a.address.empty() ? std::string() : DeviceAddressArgument(a.address);
    Library library(a.common.Options());
    library.RequireInterfaces();
    uint8_t binary[TVP_ID_SIZE];
    TVPMacToID(id.c_str(), binary);
    const uint8_t dhcp = a.dhcp ? 1 : 0;
    RequireSent(library,
                address.empty()
                    ? TVPSetIP(binary, a.ip.c_str(), a.mask.c_str(), a.gateway.c_str(), dhcp)
                    : TVPSetIPAt(binary, address.c_str(), a.ip.c_str(), a.mask.c_str(), a.gateway.c_str(), dhcp),
                "the settings for " + id, address);
    PrintAddress(a.common, id, WaitForAcknowledgement(library, id, address));
    return 0;
}

// --- auto-ip ------------------------------------------------------------------

struct AutoIpArgs
{
    Common common;
    std::string id;
    std::string address; // where to ask when no broadcast finds it
    double timeout = 2.5;
    bool force = false;
};

// Auto IP chooses on the link where a broadcast found the device; say so
// for one that no broadcast reaches, answering at `address` or not.
[[noreturn]] void NotOnALink(Library &library, const std::string &id, const std::string &address)
{
    const std::string sameLink = "Auto IP is a same-link operation: it chooses a free address on the link where a "
                                 "broadcast finds the device";
    if (address.empty())
        throw Failure("device " + id + " was not found by broadcast; " + sameLink +
                      ", so a device behind a router is found with discover --target and given an address with "
                      "set --address");
    const auto reply = AskSettings(library, id, address);
    if (!reply)
        throw Failure("device " + id + " was not found by broadcast and did not answer at " + address + "; " +
                      sameLink);
    throw Failure("device " + id + " answers at " + address + " on " + reply->interface +
                  " but to no broadcast: it is behind a router, and " + sameLink + "; give it an address with set " +
                  id + " --address " + address + " --ip ADDRESS --mask MASK");
}

int AutoIp(const AutoIpArgs &a)
{
    const std::string id = IdArgument(a.id);
    const std::string askAt = a.address.empty() ? std::string() : DeviceAddressArgument(a.address);
    Library library(a.common.Options());
    DiscoveryPlan plan;
    plan.timeoutS = a.timeout;
    // a reachable device may share its address with another: that takes the whole scan
    plan.enough = [&](const std::vector<FoundDevice> &found) {
        return std::any_of(found.begin(), found.end(),
                           [&](const FoundDevice &d) { return d.id == id && (a.force || !d.reachable); });
    };
    std::optional<FoundDevice> device;
    for (const auto &d : library.Discover(plan))
        if (d.id == id)
            device = d;
    if (!device)
        NotOnALink(library, id, askAt);
    // as the program greys the command out: Auto IP is for a device the PC can't reach
    if (device->reachable && !a.force)
        throw Failure("device " + id + " is reachable at " + device->ip + " on " + device->interface +
                      "; use --force to give it another address all the same");
    char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
    if (!TVPChooseIPAddress(device->interface.c_str(), address, mask, gateway))
        throw Failure("no free address on " + device->interface);
    uint8_t binary[TVP_ID_SIZE];
    TVPMacToID(id.c_str(), binary);
    if (TVPSetIP(binary, address, mask, gateway, 0) != 0)
        throw Failure("the settings for " + id + " could not be sent; run with -v for the library's reason");
    const std::string acknowledged = WaitForAcknowledgement(library, id);
    if (acknowledged != address)
        throw Failure("device " + id + " took " + acknowledged + " instead of " + address);

    // the device must answer at the new address, on a link it can be reached on
    plan.enough = [&](const std::vector<FoundDevice> &found) {
        return std::any_of(found.begin(), found.end(), [&](const FoundDevice &d) { return d.id == id; });
    };
    std::optional<FoundDevice> again;
    for (const auto &d : library.Discover(plan))
        if (d.id == id)
            again = d;
    if (!again)
        throw Failure("device " + id + " took " + std::string(address) + " but did not answer a new discovery");
    if (again->ip != address || !again->reachable)
        throw Failure("device " + id + " answers at " + again->ip + (again->reachable ? "" : ", not reachable") +
                      ", not at " + address);
    PrintAddress(a.common, id, address);
    return 0;
}

// --- ping ---------------------------------------------------------------------

struct PingArgs
{
    Common common;
    std::string address;
};

int Ping(const PingArgs &a)
{
    AddressArgument("address", a.address);
    Library library(a.common.Options());
    library.RequireInterfaces();
    // the user named it: probed where the routes lead, a router included
    const int result = TVPPingAddress(a.address.c_str());
    const bool reachable = result == 1;
    if (result == TVPNotSentNoRoute)
        std::cerr << "netscry-cli: no route to " << a.address << " leaves by an interface in use ("
                  << library.InterfaceNames() << "); nothing was sent\n";
    else if (result == TVPNotSentInvalid)
        std::cerr << "netscry-cli: no device can hold " << a.address << "; nothing was sent\n";
    if (a.common.OutputFormat() == Format::Text)
        std::cout << a.address << (reachable ? " is reachable" : " is not reachable") << "\n";
    else
        PrintOne(std::cout, Record{{"ip", a.address}, {"reachable", reachable}}, a.common.OutputFormat());
    return reachable ? 0 : 1;
}

// --- upgrade ------------------------------------------------------------------

struct UpgradeArgs
{
    Common common;
    std::string file;
    std::vector<std::string> targets;
    bool all = false;
    std::string type, name;
    int jobs = 1;
    bool verify = false;
    double timeout = 2.5;
    double verifyTimeout = 30;
};

// The targets named on the command line: addresses as they are, IDs to be
// found by a discovery (also in *wantedIds).
std::vector<UpgradeTarget> NamedTargets(const std::vector<std::string> &named, std::set<std::string> *wantedIds)
{
    std::vector<UpgradeTarget> targets;
    for (const auto &t : named) {
        UpgradeTarget target;
        target.target = t;
        if (t.find_first_not_of("0123456789.") == std::string::npos) {
            const uint32_t address = AddressArgument("device address", t);
            if (!wire::IsUnicast(address))
                throw UsageError("device address \"" + t + "\" is not a unicast address");
            target.ip = t;
        } else {
            target.id = CanonicalId(t);
            if (target.id.empty())
                throw UsageError("\"" + t + "\" is neither an IPv4 address nor a device ID");
            wantedIds->insert(target.id);
        }
        targets.push_back(target);
    }
    return targets;
}

// One discovery finds the addresses of the IDs named and, with --all,
// --type or --name (`select`), the devices selected.
void FindTargets(Library &library, const UpgradeArgs &a, bool select, const std::set<std::string> &wantedIds,
                 std::vector<UpgradeTarget> &targets)
{
    DiscoveryPlan plan;
    plan.timeoutS = a.timeout;
    if (!select)
        plan.enough = [&](const std::vector<FoundDevice> &found) {
            size_t n = 0;
            for (const auto &d : found)
                n += wantedIds.count(d.id);
            return n == wantedIds.size();
        };
    const auto found = library.Discover(plan);
    // an upload to a shared address may reach the other device
    auto resolve = [](UpgradeTarget &t, const FoundDevice &d) {
        t.name = d.name;
        if (d.conflict.empty()) {
            t.ip = d.ip;
            return;
        }
        std::string others;
        for (const auto &id : d.conflict)
            others += (others.empty() ? "" : ", ") + id;
        t.ip.clear();
        t.problem = "shares its address " + d.ip + " with " + others +
                    ", so an upload there could reach another device; give each an address of its own";
    };
    for (auto &t : targets) {
        if (t.id.empty())
            continue;
        t.problem = "not found by discovery";
        for (const auto &d : found)
            if (d.id == t.id)
                resolve(t, d);
    }
    if (!select)
        return;
    size_t matched = 0;
    for (const auto &d : found) {
        if (!a.type.empty() && d.type != a.type)
            continue;
        if (!a.name.empty() && !GlobMatch(a.name, d.name))
            continue;
        ++matched;
        UpgradeTarget t{d.ip, {}, d.id, d.name, {}};
        resolve(t, d);
        targets.push_back(std::move(t));
    }
    if (matched == 0 && a.targets.empty())
        throw Failure("no device found matches the selection");
}

int Upgrade(const UpgradeArgs &a)
{
    switch (sys::CheckFile(a.file)) {
    case sys::FileState::Missing: throw UsageError("image file " + a.file + " does not exist");
    case sys::FileState::NotReadable: throw UsageError("image file " + a.file + " is not a readable file");
    case sys::FileState::Readable: break;
    }
    const bool select = a.all || !a.type.empty() || !a.name.empty();
    if (a.targets.empty() && !select)
        throw UsageError("name the devices to upgrade (addresses or IDs), or use --all, --type or --name");

    std::set<std::string> wantedIds;
    std::vector<UpgradeTarget> targets = NamedTargets(a.targets, &wantedIds);
    Library library(a.common.Options());
    if (select || !wantedIds.empty())
        FindTargets(library, a, select, wantedIds, targets);
    // each device once, even when named twice
    std::vector<UpgradeTarget> unique;
    std::set<std::string> seen;
    for (auto &t : targets)
        if (t.ip.empty() || seen.insert(t.ip).second)
            unique.push_back(std::move(t));

    UpgradeSettings settings;
    settings.file = a.file;
    settings.jobs = a.jobs;
    settings.verify = a.verify;
    settings.verifyTimeoutS = a.verifyTimeout;
    settings.progress = sys::ProgressTerminal();
    settings.format = a.common.OutputFormat();
    return RunUpgrades(library, unique, settings, std::cout);
}

// --- the command line -----------------------------------------------------------

CLI::App *AddDiscover(CLI::App &app, DiscoverArgs &discover)
{
    auto *d = app.add_subcommand("discover", "list the devices: broadcasts, or requests to given addresses");
    AddCommon(d, discover.common);
    d->add_option("--timeout", discover.timeout, "wait for answers this long, in seconds (default 2.5)")
        ->check(CLI::Range(0.1, 3600.0));
    d->add_option("--target", discover.targets,
                  "ask each address of this range (10.2.0.0/16) or this address directly (repeatable)")
        ->type_name("CIDR_OR_ADDRESS");
    d->add_option("--rate", discover.rate, "at most this many requests per second to --target (default 1000)")
        ->check(CLI::Range(site::kMinSweepRate, site::kMaxSweepRate));
    d->add_flag("--broadcast", discover.broadcast, "with --target, broadcast as well");
    d->add_option("--save", discover.save, "also write the list to this site file (JSON), replacing it whole")
        ->type_name("FILE");
    d->add_option("--compare", discover.compare,
                  "print what differs from this site file instead of the list: new, missing, moved, changed")
        ->type_name("FILE");
    return d;
}

CLI::App *AddDoctor(CLI::App &app, DoctorArgs &doctor)
{
    auto *d = app.add_subcommand("doctor", "why devices may not be found: one discovery, then findings with what to "
                                           "do");
    d->add_flag("-v,--verbose", doctor.verbose, "the library's log lines on stderr");
    d->add_flag("--json", doctor.json, "JSON output");
    return d;
}

CLI::App *AddWatch(CLI::App &app, WatchArgs &watch)
{
    auto *w = app.add_subcommand("watch", "discover again and again and print each change until interrupted");
    w->add_option("--interface", watch.common.interfaces,
                  "use this network interface (repeatable); overrides TVP_INTERFACES")
        ->type_name("NAME");
    w->add_flag("-v,--verbose", watch.common.verbose, "the library's log lines on stderr");
    w->add_flag("--json", watch.common.json, "one JSON object per event and line (JSON Lines)");
    w->add_option("--interval", watch.interval, "seconds from one discovery to the next (default 10)")
        ->check(CLI::Range(0.5, 86400.0));
    return w;
}

CLI::App *AddGet(CLI::App &app, GetArgs &get)
{
    auto *g = app.add_subcommand("get", "read a device's IP settings");
    AddCommon(g, get.common);
    g->add_option("ID", get.id, "the device's ID (its MAC address)")->required();
    g->add_option("--address", get.address, "ask the device at this address directly (behind a router too)")
        ->type_name("ADDRESS");
    return g;
}

CLI::App *AddSet(CLI::App &app, SetArgs &set)
{
    auto *s = app.add_subcommand("set", "give a device new IP settings and wait for its acknowledgement");
    AddCommon(s, set.common);
    s->add_option("ID", set.id, "the device's ID (its MAC address)")->required();
    s->add_option("--address", set.address,
                  "send the settings to the device at this address directly (behind a "
                  "router too)")
        ->type_name("ADDRESS");
    auto *dhcp = s->add_flag("--dhcp", set.dhcp, "obtain the address by DHCP");
    s->add_option("--ip", set.ip, "static address")->type_name("A")->excludes(dhcp);
    s->add_option("--mask", set.mask, "subnet mask")->type_name("M");
    s->add_option("--gateway", set.gateway, "default gateway (none when left out)")->type_name("G");
    return s;
}

CLI::App *AddAutoIp(CLI::App &app, AutoIpArgs &autoIp)
{
    auto *ai = app.add_subcommand("auto-ip", "give a device a free address on the link it was found on");
    AddCommon(ai, autoIp.common);
    ai->add_option("ID", autoIp.id, "the device's ID (its MAC address)")->required();
    ai->add_option("--address", autoIp.address,
                   "when no broadcast finds the device, ask it at this address to say why it can't be helped")
        ->type_name("ADDRESS");
    ai->add_option("--timeout", autoIp.timeout, "wait for each discovery this long, in seconds (default 2.5)")
        ->check(CLI::Range(0.1, 3600.0));
    ai->add_flag("--force", autoIp.force, "re-address the device even though it is reachable");
    return ai;
}

CLI::App *AddUpgrade(CLI::App &app, UpgradeArgs &upgrade)
{
    auto *u = app.add_subcommand("upgrade", "upload a firmware image to devices");
    AddCommon(u, upgrade.common);
    u->add_option("FILE", upgrade.file, "the firmware image")->required();
    u->add_option("TARGET", upgrade.targets, "device addresses or IDs");
    u->add_flag("--all", upgrade.all, "every device a discovery finds");
    u->add_option("--type", upgrade.type, "every device of this type")->type_name("TYPE");
    u->add_option("--name", upgrade.name, "every device whose name matches this pattern (* ? [...])")
        ->type_name("GLOB");
    u->add_option("--jobs", upgrade.jobs, "devices upgraded at a time (default 1)")->check(CLI::Range(1, 64));
    u->add_flag("--verify", upgrade.verify, "afterwards, check that every device answers again");
    u->add_option("--timeout", upgrade.timeout, "discovery time for IDs and selections, in seconds (default 2.5)")
        ->check(CLI::Range(0.1, 3600.0));
    u->add_option("--verify-timeout", upgrade.verifyTimeout,
                  "with --verify, wait this long for the devices to answer, in seconds (default 30)")
        ->check(CLI::Range(0.1, 3600.0));
    return u;
}

CLI::App *AddPing(CLI::App &app, PingArgs &ping)
{
    auto *p = app.add_subcommand("ping", "whether a device answers at an address");
    AddCommon(p, ping.common);
    p->add_option("ADDRESS", ping.address, "the device's address")->required();
    return p;
}

// Every command's arguments, filled by the parse.
struct Commands
{
    DiscoverArgs discover;
    GetArgs get;
    SetArgs set;
    AutoIpArgs autoIp;
    UpgradeArgs upgrade;
    PingArgs ping;
    DoctorArgs doctor;
    WatchArgs watch;
};

// Runs the command that was parsed; the exit code.
int RunCommand(const CLI::App &app, const Commands &c, const PlanCommands &plan)
{
    const auto parsed = app.get_subcommands();
    const std::string name = parsed.empty() ? std::string() : parsed.front()->get_name();
    try {
        if (name == "discover")
            return Discover(c.discover);
        if (name == "get")
            return Get(c.get);
        if (name == "set")
            return Set(c.set);
        if (name == "auto-ip")
            return AutoIp(c.autoIp);
        if (name == "upgrade")
            return Upgrade(c.upgrade);
        if (name == "ping")
            return Ping(c.ping);
        if (name == "plan")
            return plan.Run();
        if (name == "doctor")
            return RunDoctor({c.doctor.json, c.doctor.verbose}, std::cout);
        if (name == "watch")
            return RunWatch({c.watch.common.Options(), c.watch.interval, c.watch.common.json}, std::cout);
    } catch (const UsageError &e) {
        std::cerr << "netscry-cli: " << e.what() << "\n";
        return 2;
    } catch (const Failure &e) {
        std::cerr << "netscry-cli: " << e.what() << "\n";
        return 1;
    }
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    sys::PrepareOutput();
    std::vector<std::string> utf8 = sys::Utf8Arguments(argc, argv);
    std::vector<char *> pointers;
    for (auto &arg : utf8)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    argc = int(utf8.size());
    argv = pointers.data();

    CLI::App app{"netscry-cli: find TVP devices, read and change their IP settings, probe them and upgrade their "
                 "firmware.",
                 "netscry-cli"};
    app.set_version_flag("--version", std::string("netscry-cli ") + NETSCRY_VERSION);
    app.require_subcommand(1);
    // "/x" stays an argument (a file or a pattern), as on every other system
    app.allow_windows_style_options(false);
    app.failure_message(
        [](const CLI::App *, const CLI::Error &e) { return "netscry-cli: " + std::string(e.what()) + "\n"; });

    Commands commands;
    AddDiscover(app, commands.discover);
    AddGet(app, commands.get);
    AddSet(app, commands.set);
    AddAutoIp(app, commands.autoIp);
    AddUpgrade(app, commands.upgrade);
    AddPing(app, commands.ping);
    PlanCommands plan(app);
    AddDoctor(app, commands.doctor);
    AddWatch(app, commands.watch);

    // CLI11 would only say that a command is required
    if (argc > 1 && argv[1][0] != '-') {
        bool known = false;
        for (const auto *sub : app.get_subcommands({}))
            known = known || sub->get_name() == argv[1];
        if (!known) {
            std::cerr << "netscry-cli: unknown command \"" << argv[1]
                      << "\" (commands: discover, get, set, auto-ip, upgrade, ping, plan, doctor, watch)\n";
            return 2;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "netscry-cli: " << e.what() << "\n";
        return 2;
    }
    return RunCommand(app, commands, plan);
}
