// SPDX-License-Identifier: MIT
#include "site_facts.h"

#include "address.h"
#include "plan_make.h"
#include "system.h"

#include <algorithm>
#include <set>

namespace cli {

namespace {

namespace wire = tvp::wire;

site::SiteDevice ToSiteDevice(const FoundDevice &d, const std::vector<sys::LocalInterface> &local)
{
    site::SiteDevice s{d.id, d.name, d.type, d.ip, d.interface, std::nullopt, false};
    if (const auto card = sys::CardOf(d.interface, local))
        s.link = site::Subnet{card->first, card->second};
    return s;
}

} // namespace

SiteScan ScanSite(Library &library, const SiteScanPlan &plan)
{
    const auto local = sys::LocalInterfaces().value_or(std::vector<sys::LocalInterface>{});
    SiteScan scan;
    for (const auto &i : local)
        for (const auto &subnet : i.subnets)
            scan.pcAddresses.push_back(subnet.first);

    DiscoveryPlan broadcast;
    broadcast.timeoutS = plan.timeoutS;
    std::set<std::string> ids;
    for (const auto &d : library.Discover(broadcast)) {
        ids.insert(d.id);
        scan.devices.push_back(ToSiteDevice(d, local));
    }
    if (plan.targets.empty())
        return scan;
    DiscoveryPlan sweep;
    sweep.timeoutS = plan.timeoutS;
    sweep.rate = plan.rate;
    sweep.broadcast = false;
    std::vector<site::Range> ranges = plan.targets;
    for (uint32_t a : plan.alsoAsk)
        ranges.push_back({a, a});
    sweep.targets = site::MergeRanges(ranges);
    for (const auto &d : library.Discover(sweep))
        if (ids.insert(d.id).second) {
            scan.devices.push_back(ToSiteDevice(d, local));
            scan.devices.back().routed = true;
        }
    return scan;
}

std::map<uint32_t, site::AddressUse> CheckAddresses(Library &library,
                                                    const std::map<std::string, std::vector<uint32_t>> &addresses)
{
    std::map<uint32_t, site::AddressUse> uses;
    for (const auto &[card, list] : addresses) {
        std::vector<std::string> texts;
        for (uint32_t a : list)
            texts.push_back(wire::FormatDottedQuad(a));
        const auto found = library.AddressesInUse(card, texts);
        if (!found)
            throw Failure("the addresses on " + card + " cannot be checked: the library uses no such interface");
        for (size_t i = 0; i < list.size(); ++i)
            uses[list[i]] = site::AddressUse((*found)[i]);
    }
    return uses;
}

std::function<bool(uint32_t)> InUseOnCard(Library &library, const std::string &interfaceText, const site::Subnet &card)
{
    return site::InUseInBatches(card, [&library, interfaceText](const std::vector<uint32_t> &addresses) {
        const auto uses = CheckAddresses(library, {{interfaceText, addresses}});
        std::vector<site::AddressUse> out;
        for (uint32_t a : addresses)
            out.push_back(uses.at(a));
        return out;
    });
}

} // namespace cli
