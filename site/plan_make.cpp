// SPDX-License-Identifier: MIT
#include "plan_make.h"

#include "address.h"

#include <algorithm>
#include <map>
#include <memory>

namespace site {

namespace wire = tvp::wire;

namespace {

std::string Who(const SiteDevice &d)
{
    return d.name.empty() ? d.id : d.id + " (" + d.name + ")";
}

// Why an address can't be given to `device`, if it can't.
bool Taken(const MakeRequest &r, const SiteDevice &device, uint32_t a, const std::function<bool(uint32_t)> &inUse)
{
    if (!wire::IsHostAddress(a, device.link->mask) || a == r.gateway)
        return true;
    if (std::find(r.pcAddresses.begin(), r.pcAddresses.end(), a) != r.pcAddresses.end())
        return true;
    const std::string text = wire::FormatDottedQuad(a);
    for (const auto &d : r.found)
        if (d.ip == text && d.id != device.id)
            return true;
    return device.ip != text && inUse(a);
}

} // namespace

MadePlan MakePlan(MakeRequest r, const std::function<bool(uint32_t)> &inUse)
{
    MadePlan plan;
    std::sort(r.selected.begin(), r.selected.end(), [](const SiteDevice &a, const SiteDevice &b) {
        return a.name != b.name ? a.name < b.name : a.id < b.id;
    });
    const SiteDevice *onCard = nullptr;
    for (const auto &d : r.selected)
        if (!d.routed && d.link && d.link->Contains(r.from))
            onCard = onCard ? onCard : &d;
    if (!onCard) {
        plan.error =
            wire::FormatDottedQuad(r.from) + " lies in the subnet of no card the selected devices were found on";
        return plan;
    }
    const Subnet card = *onCard->link;
    if (r.gateway && (!card.Contains(r.gateway) || !wire::IsHostAddress(r.gateway, card.mask))) {
        plan.error = "gateway " + wire::FormatDottedQuad(r.gateway) + " is not a host address of " + card.Text();
        return plan;
    }
    uint32_t next = r.from;
    bool full = false;
    for (const auto &d : r.selected) {
        if (d.routed || !d.link || d.link->address != card.address || d.link->mask != card.mask) {
            plan.leftOut.push_back(Who(d) + " was found " +
                                   (d.routed ? std::string("behind a router") : "on " + d.interfaceText) +
                                   ", not on the card of " + card.Text() + "; plan it by hand");
            continue;
        }
        while (!full && Taken(r, d, next, inUse)) {
            full = !card.Contains(next + 1) || next + 1 == 0;
            ++next;
        }
        if (full) {
            plan.leftOut.push_back(Who(d) + ": no free address is left in " + card.Text() + " from " +
                                   wire::FormatDottedQuad(r.from));
            continue;
        }
        PlanLine line;
        line.id = d.id;
        line.name = d.name;
        line.planned = {false, next, card.mask, r.gateway};
        line.line = int(plan.lines.size()) + 2; // the header is line 1
        plan.lines.push_back(std::move(line));
        full = !card.Contains(next + 1) || next + 1 == 0;
        ++next;
    }
    return plan;
}

std::function<bool(uint32_t)> InUseInBatches(const Subnet &card, UseCheck check)
{
    auto known = std::make_shared<std::map<uint32_t, bool>>();
    return [card, check = std::move(check), known](uint32_t address) {
        if (auto it = known->find(address); it != known->end())
            return it->second;
        std::vector<uint32_t> ask;
        for (uint32_t a = address; ask.size() < InUseBatch && card.Contains(a) && a != 0; ++a)
            ask.push_back(a);
        if (ask.empty())
            return true; // off the card: nothing to give
        const auto uses = check(ask);
        for (size_t i = 0; i < ask.size(); ++i)
            (*known)[ask[i]] = i >= uses.size() || uses[i] != AddressUse::Free;
        return known->at(address);
    };
}

} // namespace site
