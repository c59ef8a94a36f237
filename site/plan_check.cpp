// SPDX-License-Identifier: MIT
#include "plan_check.h"

#include "address.h"

#include <algorithm>

namespace site {

namespace wire = tvp::wire;

namespace {

std::string Quad(uint32_t a)
{
    return wire::FormatDottedQuad(a);
}

const SiteDevice *Find(const std::vector<SiteDevice> &devices, const std::string &id)
{
    for (const auto &d : devices)
        if (d.id == id)
            return &d;
    return nullptr;
}

std::string Who(const SiteDevice &d)
{
    return d.name.empty() ? "device " + d.id : "device " + d.id + " (" + d.name + ")";
}

// One rule's view of a line: the line, its device, the plan and the facts.
struct Context
{
    const PlanLine &line;
    const SiteDevice *device;
    const std::vector<PlanLine> &lines;
    const CheckFacts &facts;
    std::vector<std::string> &problems;
    void Problem(std::string text) const { problems.push_back(std::move(text)); }
    Subnet Planned() const { return {line.planned.ip, line.planned.mask}; }
};

void CheckFound(const Context &c)
{
    if (!c.device)
        c.Problem("device " + c.line.id +
                  " was not found; check that it is on and connected (one behind a router is found by a scan of "
                  "its addresses)");
}

void CheckDuplicates(const Context &c)
{
    for (const auto &other : c.lines) {
        if (&other == &c.line)
            continue;
        if (other.id == c.line.id)
            c.Problem("device " + c.line.id + " is on line " + std::to_string(other.line) +
                      " too; give each device one line");
        else if (!c.line.planned.dhcp && !other.planned.dhcp && other.planned.ip == c.line.planned.ip)
            c.Problem(Quad(c.line.planned.ip) + " is planned on line " + std::to_string(other.line) +
                      " too; give each device an address of its own");
    }
}

// The mask, the address within it and the gateway; false when the mask
// is no mask, so the rules that need one can't apply.
bool CheckSettings(const Context &c)
{
    const Settings &s = c.line.planned;
    if (!wire::IsMask(s.mask)) {
        c.Problem("mask " + Quad(s.mask) + " is not a subnet mask; write ones then zeros, such as 255.255.255.0");
        return false;
    }
    const Subnet subnet = c.Planned();
    if (!wire::IsUnicast(s.ip))
        c.Problem(Quad(s.ip) + " is not an address a device can hold; plan a host address such as 10.1.0.20");
    else if (wire::IsNetworkOrBroadcast(s.ip, s.mask))
        c.Problem(Quad(s.ip) + " is the " + ((s.ip & ~s.mask) == 0 ? "network" : "broadcast") + " address of " +
                  subnet.Text() + "; plan a host address in it");
    if (s.gateway == 0)
        return true;
    if (!subnet.Contains(s.gateway))
        c.Problem("gateway " + Quad(s.gateway) + " lies outside " + subnet.Text() +
                  ", so the device cannot reach it; give a gateway in that subnet, or leave it blank");
    else if (s.gateway == s.ip)
        c.Problem("gateway " + Quad(s.gateway) + " is the device's own planned address; give the router's address");
    else if (wire::IsNetworkOrBroadcast(s.gateway, s.mask))
        c.Problem("gateway " + Quad(s.gateway) + " is not a host address of " + subnet.Text() +
                  "; give the router's address");
    return true;
}

// The device stays where the PC reaches it: on the card's subnet, or
// behind the same router.
void CheckReach(const Context &c)
{
    const Settings &s = c.line.planned;
    const SiteDevice &d = *c.device;
    if (d.routed) {
        if (s.dhcp) {
            c.Problem(Who(d) + " is behind a router: after DHCP it could not be found again; plan a static address");
            return;
        }
        const auto present = wire::ParseDottedQuad(d.ip);
        if (present && !c.Planned().Contains(*present))
            c.Problem(Who(d) + " is behind a router at " + d.ip + ": " + Quad(s.ip) + " leaves its subnet " +
                      Subnet{*present, s.mask}.Text() + ", where the router's route leads; plan an address in it");
        if (s.gateway == 0)
            c.Problem(Who(d) + " is behind a router: give it a gateway, or it cannot answer across the router");
        return;
    }
    if (s.dhcp || !c.device->link)
        return;
    if (!d.link->Contains(s.ip))
        c.Problem(Quad(s.ip) + " lies outside " + d.link->Text() + ", the subnet of " + d.interfaceText +
                  " where the device was found; plan an address in that subnet");
}

void CheckInUse(const Context &c)
{
    const uint32_t ip = c.line.planned.ip;
    for (const auto &other : c.facts.devices) {
        if (other.ip != Quad(ip) || other.id == c.line.id)
            continue;
        std::string text = Quad(ip) + " is held by " + Who(other);
        for (const auto &moved : c.lines)
            if (moved.id == other.id && !(moved.planned.ip == ip && !moved.planned.dhcp)) {
                c.Problem(text + ", which line " + std::to_string(moved.line) +
                          " moves; apply that line first, then this one");
                return;
            }
        c.Problem(text + "; plan a free address");
        return;
    }
    if (c.device && c.device->ip == Quad(ip))
        return; // the device's own present address: it answers there itself
    for (uint32_t own : c.facts.pcAddresses)
        if (own == ip) {
            c.Problem(Quad(ip) + " is this PC's own address; plan a free address");
            return;
        }
    const auto use = c.facts.uses.find(ip);
    if (use != c.facts.uses.end() && use->second != AddressUse::Free && use->second != AddressUse::NotOnLink)
        c.Problem(Quad(ip) + " is in use: " + UseText(use->second) + "; plan a free address");
}

} // namespace

std::map<std::string, std::vector<uint32_t>> AddressesToCheck(const std::vector<PlanLine> &lines,
                                                              const std::vector<SiteDevice> &devices)
{
    std::map<std::string, std::vector<uint32_t>> out;
    for (const auto &line : lines) {
        const SiteDevice *d = Find(devices, line.id);
        if (!d || d->routed || line.planned.dhcp || d->ip == Quad(line.planned.ip))
            continue;
        auto &addresses = out[d->interfaceText];
        if (std::find(addresses.begin(), addresses.end(), line.planned.ip) == addresses.end())
            addresses.push_back(line.planned.ip);
    }
    return out;
}

std::vector<LineCheck> CheckPlan(const std::vector<PlanLine> &lines, const CheckFacts &facts)
{
    std::vector<LineCheck> checks;
    for (const auto &line : lines) {
        LineCheck check{line, std::nullopt, {}};
        const SiteDevice *device = Find(facts.devices, line.id);
        if (device)
            check.device = *device;
        const Context c{line, device, lines, facts, check.problems};
        CheckFound(c);
        CheckDuplicates(c);
        const bool settings = line.planned.dhcp || CheckSettings(c);
        if (device && settings)
            CheckReach(c);
        if (!line.planned.dhcp)
            CheckInUse(c);
        checks.push_back(std::move(check));
    }
    return checks;
}

std::vector<LineResult> CheckResults(const std::vector<LineCheck> &checks)
{
    std::vector<LineResult> results;
    for (const auto &c : checks) {
        std::string message;
        for (const auto &p : c.problems)
            message += (message.empty() ? "" : "; ") + p;
        if (message.empty() && c.device)
            message = "found at " + c.device->ip + " on " + c.device->interfaceText +
                      (c.device->routed ? ", behind a router" : "");
        results.push_back(
            {c.line.line, c.line.id, SettingsText(c.line.planned), c.Passed() ? "ok" : "problem", message});
    }
    return results;
}

} // namespace site
