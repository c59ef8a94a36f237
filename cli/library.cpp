// SPDX-License-Identifier: MIT
#include "library.h"

#include "address.h"
#include "sweep.h"
#include "system.h"
#include "tvp.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace cli {

namespace {

constexpr int kBroadcasts = 5;
constexpr auto kBroadcastGap = std::chrono::milliseconds(500);
// A sweep that could not ask some addresses names this many of them.
constexpr size_t kNamedNotAsked = 5;

struct Events
{
    std::mutex mu;
    bool verbose = false;
    std::vector<FoundDevice> found;
    std::vector<IpSettings> getip;
    std::vector<std::pair<std::string, std::string>> setip;
} g_events;

std::string Text(const char *t)
{
    return t ? t : "";
}

void TVP_CALL OnEvent(uint32_t code, const void *record)
{
    if (!record)
        return;
    switch (code) {
    case TVPEventLog: {
        std::lock_guard lock(g_events.mu);
        if (g_events.verbose)
            std::fprintf(stderr, "tvp: %s\n", Text(static_cast<const TVPLogRecord *>(record)->Text).c_str());
        break;
    }
    case TVPEventDeviceFound: {
        const auto *r = static_cast<const TVPDeviceFoundRecord *>(record);
        std::lock_guard lock(g_events.mu);
        g_events.found.push_back(
            {Text(r->ID), Text(r->Interface), Text(r->IPAddress), Text(r->Name), Text(r->Type), false, {}});
        break;
    }
    case TVPEventGetIPReply: {
        const auto *r = static_cast<const TVPGetIPReplyRecord *>(record);
        std::lock_guard lock(g_events.mu);
        g_events.getip.push_back({Text(r->ID), Text(r->Interface), Text(r->IPAddress), Text(r->SubnetMask),
                                  Text(r->DefaultGateway), r->UseDHCP != 0});
        break;
    }
    case TVPEventSetIPReply: {
        const auto *r = static_cast<const TVPSetIPReplyRecord *>(record);
        std::lock_guard lock(g_events.mu);
        g_events.setip.emplace_back(Text(r->ID), Text(r->IPAddress));
        break;
    }
    case TVPEventUpgrade:
        if (UploadProgress *p = CurrentUpload()) {
            const auto *r = static_cast<const TVPUpgradeRecord *>(record);
            if (r->Kind == TVPUpgradeStarted) {
                p->position = 0;
                p->total = r->Value;
            } else if (r->Kind == TVPUpgradeProgress) {
                p->position = r->Value;
            }
        }
        break;
    default: break;
    }
}

std::vector<std::string> Split(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty())
            out.push_back(part);
    return out;
}

thread_local UploadProgress *t_upload = nullptr;

// Why an interface can't be used, as the system lists it.
std::string UnusableReason(const std::optional<std::vector<sys::LocalInterface>> &local, const std::string &name)
{
    if (!local)
        return "cannot be looked at (the system's list of interfaces cannot be read)";
    for (const auto &i : *local)
        if (i.name == name)
            return !i.up ? "is down" : i.subnets.empty() ? "has no IPv4 address" : "is not used (-v says why)";
    return "does not exist";
}

std::string NotAskedReason(int result)
{
    switch (result) {
    case TVPNotSentInvalid: return "no device can hold it";
    case TVPNotSentNoRoute: return "no route to it leaves by an interface in use";
    default: return "the send failed; -v says why";
    }
}

} // namespace

UploadProgress *CurrentUpload()
{
    return t_upload;
}

void SetCurrentUpload(UploadProgress *progress)
{
    t_upload = progress;
}

std::string CanonicalId(const std::string &text)
{
    uint8_t id[TVP_ID_SIZE];
    if (TVPMacToID(text.c_str(), id) != 0)
        return {};
    char out[18];
    std::snprintf(out, sizeof out, "%02X:%02X:%02X:%02X:%02X:%02X", id[0], id[1], id[2], id[3], id[4], id[5]);
    return out;
}

Library::Library(const LibraryOptions &options)
{
    const auto local = sys::LocalInterfaces();
    if (!local && !options.interfaces.empty())
        throw Failure("the system's list of network interfaces cannot be read");
    auto known = [&](const std::string &name) {
        return local &&
               std::any_of(local->begin(), local->end(), [&](const sys::LocalInterface &i) { return i.name == name; });
    };
    std::string list;
    for (const auto &name : options.interfaces) {
        if (name.empty() || name.find(',') != std::string::npos || !known(name))
            throw UsageError("no network interface named \"" + name + "\"");
        list += (list.empty() ? "" : ",") + name;
    }
    // read by the library at its first call
    if (!list.empty() && !sys::SetEnvironment("TVP_INTERFACES", list))
        throw Failure("TVP_INTERFACES cannot be set for the library");
    {
        std::lock_guard lock(g_events.mu);
        g_events.verbose = options.verbose;
    }
    TVPSetApplicationCallback(OnEvent, options.verbose ? 1 : 0);
    handle_ = TVPEventHandle();
    if (handle_ == -1)
        throw Failure("the TVP library could not start (no socket); run with -v for its reasons");
    char names[1024];
    int n = TVPGetInterfaces(names, sizeof names);
    names_ = n > 0 ? std::string(names) : std::string();
    const auto used = Split(names_);
    for (const auto &name : options.interfaces)
        if (std::find(used.begin(), used.end(), name) == used.end())
            throw Failure("interface " + name + " " + UnusableReason(local, name));
    if (used.empty()) {
        const char *selected = std::getenv("TVP_INTERFACES");
        std::string why;
        for (const auto &name : Split(selected ? selected : ""))
            why += (why.empty() ? "" : ", ") + name + " " + UnusableReason(local, name);
        noInterface_ =
            why.empty() ? "no interface in use: none is up with an IPv4 address (name one with "
                          "--interface; -v lists each left out and why)"
                        : "no interface in use: TVP_INTERFACES names only interfaces that cannot be used (" + why + ")";
    }
}

Library::~Library()
{
    TVPCleanup();
}

void Library::RequireInterfaces() const
{
    if (!noInterface_.empty())
        throw Failure(noInterface_);
}

std::string BehindARouterHint()
{
    return "broadcasts stay on the links in use; a device behind a router is found with discover --target "
           "and read or changed at its address with get or set --address";
}

void Library::Pump(Clock::time_point until, const std::function<bool()> &done)
{
    for (;;) {
        TVPProcessEvents();
        if (done && done())
            return;
        const auto now = Clock::now();
        if (now >= until)
            return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        const int wait = int(std::min<long long>(ms, 1000));
        // the events are collected above in any case; without the wait,
        // only the pace of collecting them changes
        if (!sys::WaitReadable(handle_, wait)) {
            if (!waitFailed_)
                std::fprintf(stderr, "netscry-cli: the library's event handle cannot be watched; looking for "
                                     "events every 20 ms instead\n");
            waitFailed_ = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 20)));
        }
    }
}

std::vector<IpSettings> Library::TakeGetIPReplies()
{
    std::lock_guard lock(g_events.mu);
    return std::exchange(g_events.getip, {});
}

std::vector<std::pair<std::string, std::string>> Library::TakeSetIPReplies()
{
    std::lock_guard lock(g_events.mu);
    return std::exchange(g_events.setip, {});
}

std::vector<FoundDevice> Library::TakeFound()
{
    std::lock_guard lock(g_events.mu);
    return std::exchange(g_events.found, {});
}

int Library::RequestSettings(const std::string &id, const std::string &at)
{
    uint8_t binary[TVP_ID_SIZE];
    if (TVPMacToID(id.c_str(), binary) != 0)
        return -1;
    return at.empty() ? TVPGetIP(binary) : TVPGetIPAt(binary, at.c_str());
}

int Library::SendSettings(const std::string &id, const std::string &at, const IpSettings &s)
{
    uint8_t binary[TVP_ID_SIZE];
    if (TVPMacToID(id.c_str(), binary) != 0)
        return -1;
    const uint8_t dhcp = s.dhcp ? 1 : 0;
    return at.empty() ? TVPSetIP(binary, s.ip.c_str(), s.mask.c_str(), s.gateway.c_str(), dhcp)
                      : TVPSetIPAt(binary, at.c_str(), s.ip.c_str(), s.mask.c_str(), s.gateway.c_str(), dhcp);
}

bool Library::Answers(const std::string &ip, bool named)
{
    // a broadcast answer was probed on its link before it was delivered, so
    // this returns at once; an address the user named is probed through the
    // routes
    return (named ? TVPPingAddress(ip.c_str()) : TVPPingDevice(ip.c_str())) == 1;
}

std::optional<std::vector<int>> Library::AddressesInUse(const std::string &interfaceText,
                                                        const std::vector<std::string> &addresses)
{
    std::vector<int> uses;
    for (size_t first = 0; first < addresses.size(); first += TVP_MAX_CHECKED_ADDRESSES) {
        const size_t n = std::min<size_t>(TVP_MAX_CHECKED_ADDRESSES, addresses.size() - first);
        std::vector<const char *> texts;
        for (size_t i = 0; i < n; ++i)
            texts.push_back(addresses[first + i].c_str());
        std::vector<int32_t> found(n, TVPAddressFree);
        if (TVPAddressesInUse(interfaceText.c_str(), texts.data(), n, found.data()) != 0)
            return std::nullopt;
        uses.insert(uses.end(), found.begin(), found.end());
    }
    return uses;
}

namespace {

// One Library::Discover: its broadcasts, its sweep of the targets at the
// plan's rate, and the devices found so far.
struct DiscoveryRun
{
    explicit DiscoveryRun(const DiscoveryPlan &p)
        : plan(p),
          timeout(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(p.timeoutS))),
          pacer(p.targets, p.rate),
          total(pacer.Total()),
          sweepDone(total == 0)
    {}

    void Broadcast(Clock::time_point now)
    {
        while (plan.broadcast && broadcastsSent < kBroadcasts && now >= start + broadcastsSent * kBroadcastGap &&
               (broadcastsSent == 0 || now < start + timeout)) {
            if (TVPDiscover() == 0)
                broadcastWorked = true;
            ++broadcastsSent;
        }
    }

    void Sweep(Clock::time_point now)
    {
        if (sweepDone)
            return;
        const double elapsed = std::chrono::duration<double>(now - start).count();
        for (const uint32_t address : pacer.Due(elapsed)) {
            if (const int sent = TVPDiscoverAddress(tvp::wire::FormatDottedQuad(address).c_str()); sent != 0) {
                ++refused;
                if (notAsked.size() < kNamedNotAsked)
                    notAsked.emplace_back(address, sent);
            }
            lastAsked = Clock::now();
        }
        sweepDone = pacer.Done();
    }

    void Collect()
    {
        std::vector<FoundDevice> fresh;
        {
            std::lock_guard lock(g_events.mu);
            fresh.swap(g_events.found);
        }
        for (auto &d : fresh) {
            if (!ids.insert(d.id).second)
                continue;
            // the library probed it as its answer came in: this answers at
            // once; an address the user named is probed through the routes,
            // a broadcast answer's only on the link
            const auto a = tvp::wire::ParseDottedQuad(d.ip);
            const bool named = a && site::Contains(plan.targets, *a);
            d.reachable = (named ? TVPPingAddress(d.ip.c_str()) : TVPPingDevice(d.ip.c_str())) == 1;
            devices.push_back(std::move(d));
        }
    }

    // When the run ends: the sweep's last answers have had their time.
    Clock::time_point End() const
    {
        if (!sweepDone)
            return Clock::time_point::max();
        return std::max(plan.broadcast ? start + timeout : start, lastAsked + (total ? timeout : Clock::duration(0)));
    }

    // When there is something to send next, or the end.
    Clock::time_point Wake() const
    {
        Clock::time_point wake = End();
        if (plan.broadcast && broadcastsSent < kBroadcasts && start + broadcastsSent * kBroadcastGap < start + timeout)
            wake = std::min(wake, start + broadcastsSent * kBroadcastGap);
        if (!sweepDone)
            wake = std::min(wake, start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(pacer.NextDueS())));
        return wake;
    }

    const DiscoveryPlan &plan;
    const Clock::time_point start = Clock::now();
    const Clock::duration timeout;
    int broadcastsSent = 0;
    bool broadcastWorked = false;
    site::SweepPacer pacer;
    const uint64_t total;
    uint64_t refused = 0;
    std::vector<std::pair<uint32_t, int>> notAsked; // the first few, with why
    Clock::time_point lastAsked = start;
    bool sweepDone;
    std::vector<FoundDevice> devices;
    std::set<std::string> ids;
};

} // namespace

std::vector<FoundDevice> Library::Discover(const DiscoveryPlan &plan)
{
    RequireInterfaces();
    {
        std::lock_guard lock(g_events.mu);
        g_events.found.clear();
    }
    DiscoveryRun run(plan);
    for (;;) {
        const auto now = Clock::now();
        run.Broadcast(now);
        run.Sweep(now);
        if (plan.broadcast && run.broadcastsSent == 1 && !run.broadcastWorked && plan.targets.empty())
            throw Failure("no discovery could be sent: no interface in use" +
                          (names_.empty() ? std::string(" (name one with --interface)") : " (" + names_ + ")"));
        const Clock::time_point end = run.End();
        bool enough = false;
        Pump(std::max(run.Wake(), Clock::now()), [&] {
            run.Collect();
            enough = plan.enough && plan.enough(run.devices);
            return enough;
        });
        if (enough || (run.sweepDone && Clock::now() >= end))
            break;
    }
    if (run.refused > 0) {
        std::string named;
        for (const auto &[address, result] : run.notAsked)
            named += (named.empty() ? "" : ", ") + tvp::wire::FormatDottedQuad(address) + " (" +
                     NotAskedReason(result) + ")";
        if (run.refused > run.notAsked.size())
            named += " and " + std::to_string(run.refused - run.notAsked.size()) + " more";
        std::fprintf(stderr, "netscry-cli: %llu of %llu addresses not asked: %s\n",
                     static_cast<unsigned long long>(run.refused), static_cast<unsigned long long>(run.total),
                     named.c_str());
    }
    if (run.total > 0 && run.refused == run.total && !run.broadcastWorked)
        throw Failure("no discovery request could be sent");
    MarkSharedAddresses(run.devices);
    std::sort(run.devices.begin(), run.devices.end(), [](const FoundDevice &a, const FoundDevice &b) {
        return a.name != b.name ? a.name < b.name : a.ip < b.ip;
    });
    return run.devices;
}

std::vector<std::string> Library::AwaitAnswers(const std::vector<std::string> &addresses, double timeoutS)
{
    {
        std::lock_guard lock(g_events.mu);
        g_events.found.clear();
    }
    std::set<std::string> pending(addresses.begin(), addresses.end()), answered;
    const auto end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutS));
    while (!pending.empty() && Clock::now() < end) {
        TVPDiscover();
        for (const auto &a : pending)
            TVPDiscoverAddress(a.c_str());
        Pump(std::min(end, Clock::now() + std::chrono::seconds(1)), [&] {
            std::lock_guard lock(g_events.mu);
            for (const auto &d : g_events.found)
                if (pending.erase(d.ip))
                    answered.insert(d.ip);
            g_events.found.clear();
            return pending.empty();
        });
    }
    return {answered.begin(), answered.end()};
}

} // namespace cli
