// SPDX-License-Identifier: MIT
#include "doctor.h"

#include "address.h"
#include "watch.h"

#include <algorithm>
#include <set>

namespace site {

namespace {

// Lower ranks come first: what stops every answer before what costs one
// device, and that before advice.
namespace rank {
constexpr int kNoInterface = 0, kSendFailed = 10, kMissingName = 15, kRpFilter = 20, kFirewall = 21, kWindowsRule = 22,
              kIdleCardWhenNothing = 25, kNotNamedWhenNothing = 28, kConflict = 40, kForeign = 45, kNoAnswerHere = 50,
              kDropped = 55, kSeveral = 60, kIdleCard = 62, kFirewallMaybe = 65, kUnreadable = 68, kVirtualBridge = 70,
              kNoBroadcast = 72, kLostUnknown = 73, kRpAdvice = 74, kNotNamed = 80, kNothingFound = 90, kAllWell = 100;
}

// The most devices or addresses one finding names before "and N more".
constexpr size_t kNamed = 3;

std::string Plural(uint64_t n, const std::string &word)
{
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string Join(const std::vector<std::string> &items, const std::string &last = " and ")
{
    std::string out;
    const size_t shown = std::min(items.size(), kNamed + (items.size() == kNamed + 1 ? 1 : 0));
    for (size_t i = 0; i < shown; ++i)
        out += (i == 0 ? "" : i + 1 == shown && shown == items.size() ? last : ", ") + items[i];
    if (shown < items.size())
        out += " and " + std::to_string(items.size() - shown) + " more";
    return out;
}

std::string Quad(uint32_t a)
{
    return tvp::wire::FormatDottedQuad(a);
}

bool OnSubnetOf(const DoctorInterface &i, uint32_t address)
{
    return std::any_of(i.addresses.begin(), i.addresses.end(),
                       [&](const auto &a) { return (a.first & a.second) == (address & a.second); });
}

class Doctor
{
public:
    explicit Doctor(const DoctorFacts &facts)
        : f_(facts),
          found_(!facts.devices.empty())
    {}

    std::vector<Finding> Run()
    {
        Usable();
        Unused();
        Sending();
        ReversePath();
        LinuxRules();
        WindowsRules();
        Silent();
        Drops();
        SeveralCards();
        DeviceAddresses();
        std::stable_sort(out_.begin(), out_.end(), [](const Finding &a, const Finding &b) { return a.rank < b.rank; });
        return out_;
    }

private:
    void Add(const std::string &kind, const std::string &subject, const std::string &text, bool blocking, int rank)
    {
        out_.push_back({kind, subject, text, blocking, rank});
    }

    std::vector<const DoctorInterface *> Used() const
    {
        std::vector<const DoctorInterface *> used;
        for (const auto &i : f_.interfaces)
            if (i.use == InterfaceUse::Used)
                used.push_back(&i);
        return used;
    }

    const DoctorInterface *Named(const std::string &name) const
    {
        for (const auto &i : f_.interfaces)
            if (i.name == name)
                return &i;
        return nullptr;
    }

    // Devices the library lists with interface `name`.
    size_t ListedOn(const std::string &name) const
    {
        return size_t(std::count_if(f_.devices.begin(), f_.devices.end(),
                                    [&](const DoctorDevice &d) { return InterfaceName(d.interfaceText) == name; }));
    }

    void Usable()
    {
        if (!f_.libraryStarted) {
            Add("library", "", "the TVP library could not start (no socket): run with -v for its reasons", true,
                rank::kNoInterface);
            return;
        }
        if (!Used().empty())
            return;
        std::vector<std::string> why;
        for (const auto &i : f_.interfaces)
            if (i.use != InterfaceUse::Loopback && i.use != InterfaceUse::NotNamed)
                why.push_back(i.name + " " + i.notUsedWhy);
        Add("no-interface", "",
            f_.selection.empty()
                ? "no interface is in use: none is up with an IPv4 address and able to broadcast; connect the card "
                  "that faces the devices and give it an address"
                : "no interface is in use: TVP_INTERFACES names only cards that cannot be used (" + Join(why) +
                      "); name the card that faces the devices",
            false, rank::kNoInterface);
    }

    void Unused()
    {
        std::vector<std::string> notNamed;
        const int idle = found_ ? rank::kIdleCard : rank::kIdleCardWhenNothing;
        for (const auto &i : f_.interfaces) {
            switch (i.use) {
            case InterfaceUse::Down:
                Add("interface-down", i.name, i.name + " is down: plug in the cable or enable it", false, idle);
                break;
            case InterfaceUse::NoIPv4:
                // a bridge's port rightly has none: the bridge holds it
                if (!i.portOf.empty())
                    break;
                Add("no-ipv4", i.name,
                    i.name + " has no IPv4 address: give it one on the devices' subnet (or let DHCP give it one)",
                    false, idle);
                break;
            case InterfaceUse::Unusable:
                Add("no-usable-address", i.name,
                    i.name + " has no usable IPv4 address: give it a host address on the devices' subnet", false, idle);
                break;
            case InterfaceUse::NoBroadcast:
                Add("no-broadcast", i.name,
                    i.name + " cannot broadcast (" + KindText(i.kind) +
                        "): devices behind it are found with netscry-cli discover --target and their subnet",
                    false, rank::kNoBroadcast);
                break;
            case InterfaceUse::Missing:
                Add("missing-interface", i.name,
                    "TVP_INTERFACES names " + i.name + ", which does not exist: correct the name", false,
                    rank::kMissingName);
                break;
            case InterfaceUse::NotNamed:
                if (i.up && !i.addresses.empty() && i.kind != InterfaceKind::Loopback)
                    notNamed.push_back(i.name);
                break;
            case InterfaceUse::Used:
            case InterfaceUse::Loopback: break;
            }
        }
        if (!notNamed.empty())
            Add("not-named", "",
                "TVP_INTERFACES leaves out " + Join(notNamed) +
                    ": if the devices are on one of those cards' LANs, add it there",
                false, found_ ? rank::kNotNamed : rank::kNotNamedWhenNothing);
    }

    void Sending()
    {
        for (const auto *i : Used())
            if (i->sendErrors > 0)
                Add("send-error", i->name,
                    (i->discovers ? Plural(i->sendErrors, "request") + " could not be sent on " + i->name
                                  : "no discovery could be sent on " + i->name) +
                        " (" + i->lastSendError + "): check its link and address",
                    i->discovers == 0, rank::kSendFailed);
    }

    // The setting that lets answers from another subnet in on `i`.
    std::string RpFix(const DoctorInterface &i) const
    {
        const std::string own = "net.ipv4.conf." + i.name + ".rp_filter";
        if (f_.defaultRoute)
            return "set " + own + "=2";
        // without any route back, a loose filter drops them too
        return "set " + own + "=0" +
               (f_.rpFilterAll.value_or(0) ? " and net.ipv4.conf.all.rp_filter=0" : std::string()) +
               " (the PC has no route back to them; or give the devices addresses on " + i.name + "'s subnet)";
    }

    // Whether the filter on `i` drops an answer from `source`.
    bool RpDrops(const DoctorInterface &i, uint32_t source) const
    {
        const int rp = EffectiveRpFilter(f_, i).value_or(0);
        return rp != 0 && !OnSubnetOf(i, source) && (rp == 1 || !f_.defaultRoute);
    }

    void ReversePath()
    {
        if (f_.wire) {
            std::set<std::string> listed;
            for (const auto &d : f_.devices)
                listed.insert(d.ip);
            std::map<std::string, std::vector<std::string>> dropped, lost; // interface -> sources
            for (const auto &w : *f_.wire) {
                const DoctorInterface *i = Named(w.interface);
                if (!w.source || listed.count(Quad(w.source)) || !i || i->use != InterfaceUse::Used)
                    continue;
                auto &into = RpDrops(*i, w.source) ? dropped[i->name] : lost[i->name];
                if (std::find(into.begin(), into.end(), Quad(w.source)) == into.end())
                    into.push_back(Quad(w.source));
            }
            for (const auto &[name, sources] : dropped) {
                const DoctorInterface &i = *Named(name);
                Add("rp-filter", name,
                    "answers from " + Join(sources) + " reach " + name + " but its reverse-path filter (" +
                        std::to_string(*EffectiveRpFilter(f_, i)) + ") drops them: " + RpFix(i),
                    true, rank::kRpFilter);
            }
            for (const auto &[name, sources] : lost)
                Add("answers-lost", name,
                    "answers from " + Join(sources) + " reach " + name +
                        " but not the program: look for a filter on this PC (run with -v to see what the library "
                        "received)",
                    false, rank::kLostUnknown);
            return;
        }
        for (const auto *i : Used()) {
            const int rp = EffectiveRpFilter(f_, *i).value_or(0);
            if (rp == 0 || (rp == 2 && f_.defaultRoute))
                continue;
            const std::string setting = "reverse-path filter (" + std::to_string(rp) + ")";
            if (f_.rpFilterDrops.value_or(0) > 0)
                Add("rp-filter", i->name,
                    "the reverse-path filter dropped " + Plural(*f_.rpFilterDrops, "packet") +
                        " during the discovery, and " + i->name + "'s " + setting +
                        " drops answers of devices on other subnets: " + RpFix(*i),
                    true, rank::kRpFilter);
            else
                Add("rp-filter-advice", i->name,
                    i->name + "'s " + setting + " would drop answers of devices on other subnets: if one is missing, " +
                        RpFix(*i),
                    false, rank::kRpAdvice);
        }
    }

    void LinuxRules()
    {
        if (!f_.linuxFirewall)
            return;
        const LinuxFirewall &fw = *f_.linuxFirewall;
        if (!fw.rules) {
            const std::string why = fw.unreadable.empty() ? std::string() : " (" + fw.unreadable + ")";
            Add("firewall-unreadable", "",
                fw.needPrivileges
                    ? "could not read the firewall rules without privileges: run the diagnosis as root to check them" +
                          why
                    : "could not read the firewall rules" + why + ": check that none drops UDP from port " +
                          std::to_string(f_.port),
                false, rank::kUnreadable);
            return;
        }
        // one finding per rule, naming every card it drops the answers on
        std::vector<std::pair<FirewallBlock, std::vector<std::string>>> blocks;
        for (const auto *i : Used()) {
            AnswerPacket p;
            p.interface = i->name;
            p.sourcePort = f_.port;
            p.portLow = fw.portLow;
            p.portHigh = fw.portHigh;
            for (const auto &b : WhatDropsAnswers(*fw.rules, p)) {
                auto same = std::find_if(blocks.begin(), blocks.end(), [&](const auto &e) {
                    return e.first.where == b.where && e.first.rule == b.rule && e.first.certain == b.certain;
                });
                if (same == blocks.end())
                    blocks.push_back({b, {i->name}});
                else
                    same->second.push_back(i->name);
            }
        }
        for (const auto &[b, names] : blocks) {
            const std::string where = fw.rules->tool + " " + b.where + ": " + b.rule;
            if (b.certain)
                Add("firewall", Join(names),
                    "the firewall drops the answers on " + Join(names) + " (" + where +
                        "): " + Accept(b, fw.rules->tool),
                    true, rank::kFirewall);
            else
                Add("firewall-maybe", Join(names),
                    "a firewall rule may drop the answers on " + Join(names) + " (" + where +
                        "): check whether it matches UDP from port " + std::to_string(f_.port),
                    false, rank::kFirewallMaybe);
        }
    }

    // The command that lets the answers in before `b`.
    std::string Accept(const FirewallBlock &b, const std::string &tool) const
    {
        // "table inet filter, chain input"
        const std::string table = b.where.substr(6, b.where.find(',') - 6);
        const std::string chain = b.where.substr(b.where.find("chain ") + 6);
        const std::string port = std::to_string(f_.port);
        if (tool == "nft")
            return "let UDP from port " + port + " in first, e.g. nft insert rule " + table + " " + chain +
                   " udp sport " + port + " accept";
        return "let UDP from port " + port + " in first, e.g. iptables -t " + table.substr(table.find(' ') + 1) +
               " -I " + chain + " -p udp --sport " + port + " -j ACCEPT";
    }

    void WindowsRules()
    {
        if (!f_.windowsFirewall)
            return;
        const WindowsFirewall &fw = *f_.windowsFirewall;
        if (!fw.unreadable.empty()) {
            Add("firewall-unreadable", "", "could not read the Windows firewall settings (" + fw.unreadable + ")",
                false, rank::kUnreadable);
            return;
        }
        std::vector<std::string> blocked, publicOnly;
        const bool anyOn = std::any_of(fw.enabled.begin(), fw.enabled.end(), [](const auto &e) { return e.second; });
        for (const auto *i : Used()) {
            // a card whose network the system does not name: any profile may apply
            const auto on = fw.enabled.find(i->firewallProfile);
            if (i->firewallProfile.empty() ? !anyOn : on == fw.enabled.end() || !on->second)
                continue;
            const bool covered =
                fw.ruleFound && (i->firewallProfile.empty() || std::find(fw.ruleProfiles.begin(), fw.ruleProfiles.end(),
                                                                         i->firewallProfile) != fw.ruleProfiles.end());
            if (!covered)
                (fw.ruleFound && i->firewallProfile == "public" ? publicOnly : blocked).push_back(i->name);
        }
        if (!blocked.empty())
            Add("windows-rule", Join(blocked),
                "no inbound firewall rule lets the answers reach " + fw.program + " on " + Join(blocked) +
                    ": add one: netsh advfirewall firewall add rule name=\"Netscry\" dir=in action=allow "
                    "protocol=UDP program=\"" +
                    fw.program + "\" profile=private,domain",
                true, rank::kWindowsRule);
        if (!publicOnly.empty())
            Add("public-network", Join(publicOnly),
                Join(publicOnly) + (publicOnly.size() == 1 ? " is" : " are") +
                    " on a public network, where the program's firewall rule does not let the answers in: mark "
                    "the devices' network private",
                true, rank::kWindowsRule);
    }

    // Used cards that heard nothing.
    void Silent()
    {
        std::vector<std::string> answering, silent;
        for (const auto *i : Used()) {
            if (i->answers > 0) {
                answering.push_back(i->name);
                continue;
            }
            if (i->kind == InterfaceKind::VirtualBridge || i->kind == InterfaceKind::Tunnel)
                Add(i->kind == InterfaceKind::Tunnel ? "tunnel" : "virtual-bridge", i->name,
                    "no answer on " + i->name + ", a " + KindText(i->kind) +
                        (i->kind == InterfaceKind::Tunnel
                             ? ": devices behind it are found with netscry-cli discover --target and their subnet"
                             : ": devices are not expected there; search the card that faces their LAN"),
                    false, rank::kVirtualBridge);
            else
                silent.push_back(i->name);
        }
        if (silent.empty())
            return;
        if (found_)
            for (const auto &name : silent)
                Add("no-answer", name,
                    "no answer on " + name + "; " + Plural(f_.devices.size(), "device") + " answered on " +
                        Join(answering),
                    false, rank::kNoAnswerHere);
        else
            Add("nothing-found", Join(silent, " or "),
                "no device answered on " + Join(silent, " or ") +
                    ": check that the devices are powered and cabled to that LAN; a device behind a router is found "
                    "with netscry-cli discover --target",
                false, rank::kNothingFound);
    }

    void Drops()
    {
        for (const auto &i : f_.interfaces) {
            const std::string on = " on " + i.name;
            if (i.late)
                Add("dropped-late", i.name,
                    Plural(i.late, "answer") + on +
                        " came after their request's 3-second window and were dropped: a slow link or device, or "
                        "answers replayed by another host",
                    false, rank::kDropped);
            if (i.impossible)
                Add("dropped-impossible", i.name,
                    Plural(i.impossible, "answer") + on +
                        " claimed an address no device can hold (such as 0.0.0.0) and were dropped: a device "
                        "without an address answers so; give it one",
                    false, rank::kDropped);
            if (i.malformed)
                Add("dropped-malformed", i.name,
                    Plural(i.malformed, "malformed datagram") + on +
                        " were dropped: something that is no device answers on the device port; -v names the sender",
                    false, rank::kDropped);
            if (i.duplicate)
                Add("dropped-duplicate", i.name,
                    Plural(i.duplicate, "repeated answer") + on +
                        " were dropped: harmless, the link delivered them twice",
                    false, rank::kDropped + 10);
            if (i.notInUse)
                Add("dropped-not-in-use", i.name,
                    Plural(i.notInUse, "answer") + " also arrived on " + i.name +
                        ", which the library does not use (it " + i.notUsedWhy + "): devices are on its LAN",
                    false, found_ ? rank::kNotNamed : rank::kIdleCardWhenNothing);
        }
    }

    // A card that heard devices listed on another card shares their LAN.
    void SeveralCards()
    {
        const auto used = Used();
        for (const auto *i : used) {
            const size_t listed = ListedOn(i->name);
            if (i->devices <= listed)
                continue;
            std::vector<std::string> others;
            for (const auto *j : used)
                if (j != i && ListedOn(j->name) > 0)
                    others.push_back(j->name);
            Add("several-interfaces", i->name,
                i->name + " also hears " + Plural(i->devices - listed, "device") + " listed on " +
                    (others.empty() ? std::string("another card") : Join(others)) +
                    ": two of the PC's cards are on one LAN; use one of them (TVP_INTERFACES=" +
                    (others.empty() ? i->name : others.front()) + ") or give each card a LAN of its own",
                false, rank::kSeveral);
        }
    }

    void DeviceAddresses()
    {
        std::map<std::string, std::vector<std::string>> at;
        for (const auto &d : f_.devices) {
            at[d.ip].push_back(d.id + (d.name.empty() ? "" : " " + d.name));
            const auto address = tvp::wire::ParseDottedQuad(d.ip);
            const DoctorInterface *i = Named(InterfaceName(d.interfaceText));
            if (address && i && !i->addresses.empty() && !OnSubnetOf(*i, *address))
                Add("foreign-subnet", d.ip,
                    d.ip + " (" + (d.name.empty() ? d.id : d.name + ", " + d.id) + ") answered on " + i->name +
                        " but is on no subnet of " + i->name +
                        ": give it an address there with Auto IP "
                        "(netscry-cli auto-ip " +
                        d.id + ")",
                    false, rank::kForeign);
        }
        for (const auto &[ip, who] : at)
            if (who.size() > 1)
                Add("address-conflict", ip,
                    std::to_string(who.size()) + " devices answer at " + ip + " (" + Join(who) +
                        "): give all but one another address (netscry-cli set ID --ip ... or auto-ip ID --force)",
                    false, rank::kConflict);
    }

    const DoctorFacts &f_;
    const bool found_;
    std::vector<Finding> out_;
};

} // namespace

const char *KindText(InterfaceKind kind)
{
    switch (kind) {
    case InterfaceKind::Wired: return "wired";
    case InterfaceKind::Wireless: return "wireless";
    case InterfaceKind::Bridge: return "bridge";
    case InterfaceKind::VirtualBridge: return "container or virtual bridge";
    case InterfaceKind::Tunnel: return "VPN or tunnel";
    case InterfaceKind::VirtualLink: return "virtual link";
    case InterfaceKind::Loopback: return "loopback";
    case InterfaceKind::Unknown: break;
    }
    return "of unknown kind";
}

std::optional<int> EffectiveRpFilter(const DoctorFacts &facts, const DoctorInterface &i)
{
    if (!facts.rpFilterAll && !i.rpFilter)
        return std::nullopt;
    return std::max(facts.rpFilterAll.value_or(0), i.rpFilter.value_or(0));
}

DoctorReport Diagnose(const DoctorFacts &facts)
{
    DoctorReport report;
    report.findings = Doctor(facts).Run();
    const bool blocked =
        std::any_of(report.findings.begin(), report.findings.end(), [](const Finding &f) { return f.blocking; });
    report.exitCode = !facts.devices.empty() && !blocked ? 0 : 1;
    if (report.exitCode == 0) {
        std::set<std::string> on;
        for (const auto &d : facts.devices)
            on.insert(InterfaceName(d.interfaceText));
        report.findings.push_back({"all-well", "",
                                   Plural(facts.devices.size(), "device") + " answered on " +
                                       Join({on.begin(), on.end()}) + "; nothing blocks their answers",
                                   false, rank::kAllWell});
    }
    return report;
}

std::string InterfaceLine(const DoctorFacts &facts, const DoctorInterface &i)
{
    std::string line = i.name + ": " + KindText(i.kind) + ", " + (i.up ? "up" : "down");
    for (const auto &[address, mask] : i.addresses)
        line += ", " + Quad(address) + "/" + std::to_string(tvp::wire::PrefixLength(mask));
    if (i.addresses.empty())
        line += i.portOf.empty() ? ", no IPv4 address" : ", a port of " + i.portOf;
    line += i.broadcast ? ", broadcast" : ", no broadcast";
    if (!i.firewallProfile.empty())
        line += ", " + i.firewallProfile + " network";
    if (i.use != InterfaceUse::Used) {
        line += "; not used: " + i.notUsedWhy;
    } else {
        line += "; used: " + Plural(i.discovers, "Discover") + " (" + std::to_string(i.bytesSent) + " bytes) sent";
        if (i.sendErrors)
            line += ", " + std::to_string(i.sendErrors) + " refused (" + i.lastSendError + ")";
        line += "; " + Plural(i.answers, "answer") + " from " + Plural(i.devices, "device");
    }
    std::vector<std::string> dropped;
    for (auto [n, why] : {std::pair{i.late, "late"},
                          {i.impossible, "impossible"},
                          {i.malformed, "malformed"},
                          {i.duplicate, "duplicate"},
                          {i.notInUse, "not in use"}})
        if (n)
            dropped.push_back(std::to_string(n) + " " + why);
    if (!dropped.empty())
        line += "; dropped " + Join(dropped, ", ");
    if (auto rp = EffectiveRpFilter(facts, i); rp && i.use == InterfaceUse::Used)
        line += "; rp_filter " + std::to_string(*rp);
    return line;
}

} // namespace site
