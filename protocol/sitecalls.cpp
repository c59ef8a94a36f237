// SPDX-License-Identifier: MIT
#include "sitecalls.h"

#include "address.h"
#include "tvp.h"

#include <algorithm>
#include <stdexcept>

namespace sitecalls {

namespace {

namespace wire = tvp::wire;
using Kind = site::ApplyRequest::Kind;

const char *const Refused = "the library refused to send it; the diagnostic log (netscry -d) says why";

std::string Quad(uint32_t address, bool blank)
{
    return blank ? std::string() : wire::FormatDottedQuad(address);
}

std::string NotSentText(int result, const std::string &at)
{
    switch (result) {
    case TVPNotSentInvalid: return at + " is not an address a device can hold";
    case TVPNotSentNoRoute: return "the route to " + at + " leaves by an interface the library does not use";
    default: return "the system refused to send to " + at;
    }
}

// By ID as a broadcast, or by unicast to `at` for a device behind a router.
std::string SetIP(const uint8_t *id, const std::string &at, const site::Settings &s)
{
    const std::string ip = Quad(s.ip, s.dhcp), mask = Quad(s.mask, s.dhcp), gateway = Quad(s.gateway, s.gateway == 0);
    const uint8_t dhcp = s.dhcp ? 1 : 0;
    if (at.empty())
        return TVPSetIP(id, ip.c_str(), mask.c_str(), gateway.c_str(), dhcp) == 0 ? std::string() : Refused;
    const int sent = TVPSetIPAt(id, at.c_str(), ip.c_str(), mask.c_str(), gateway.c_str(), dhcp);
    return sent == 0 ? std::string() : NotSentText(sent, at);
}

} // namespace

std::string Send(const site::ApplyRequest &r)
{
    if (r.kind == Kind::Discover)
        return TVPDiscover() == 0 ? std::string() : Refused;
    if (r.kind == Kind::DiscoverAt) {
        const int sent = TVPDiscoverAddress(r.at.c_str());
        return sent == 0 ? std::string() : NotSentText(sent, r.at);
    }
    uint8_t id[TVP_ID_SIZE] = {};
    if (TVPMacToID(r.id.c_str(), id) != 0)
        return r.id + " is not a device ID";
    if (r.kind == Kind::GetIP && r.at.empty())
        return TVPGetIP(id) == 0 ? std::string() : Refused;
    if (r.kind == Kind::GetIP) {
        const int sent = TVPGetIPAt(id, r.at.c_str());
        return sent == 0 ? std::string() : NotSentText(sent, r.at);
    }
    return SetIP(id, r.at, r.settings);
}

bool Answers(const std::string &ip, bool named)
{
    return (named ? TVPPingAddress(ip.c_str()) : TVPPingDevice(ip.c_str())) == 1;
}

std::optional<std::vector<site::AddressUse>> AddressesInUse(const std::string &interfaceText,
                                                            const std::vector<uint32_t> &addresses)
{
    std::vector<site::AddressUse> uses;
    for (size_t first = 0; first < addresses.size(); first += TVP_MAX_CHECKED_ADDRESSES) {
        const size_t n = std::min<size_t>(TVP_MAX_CHECKED_ADDRESSES, addresses.size() - first);
        std::vector<std::string> texts;
        std::vector<const char *> pointers;
        for (size_t i = 0; i < n; ++i)
            texts.push_back(wire::FormatDottedQuad(addresses[first + i]));
        for (const auto &t : texts)
            pointers.push_back(t.c_str());
        std::vector<int32_t> found(n, TVPAddressFree);
        if (TVPAddressesInUse(interfaceText.c_str(), pointers.data(), n, found.data()) != 0)
            return std::nullopt;
        for (int32_t use : found)
            uses.push_back(site::AddressUse(use));
    }
    return uses;
}

std::vector<site::LineCheck> CheckLines(const std::vector<site::PlanLine> &lines,
                                        const std::vector<site::SiteDevice> &devices,
                                        const std::vector<uint32_t> &pcAddresses, const std::atomic<bool> &stop)
{
    site::CheckFacts facts{devices, pcAddresses, {}};
    std::vector<std::string> unchecked;
    for (const auto &[card, addresses] : site::AddressesToCheck(lines, devices)) {
        if (stop)
            return {};
        const auto uses = AddressesInUse(card, addresses);
        if (!uses) {
            unchecked.push_back(card);
            continue;
        }
        for (size_t i = 0; i < addresses.size(); ++i)
            facts.uses[addresses[i]] = (*uses)[i];
    }
    auto checks = site::CheckPlan(lines, facts);
    // the library stopped using a card since the discovery
    for (auto &c : checks)
        if (c.device && !c.line.planned.dhcp &&
            std::find(unchecked.begin(), unchecked.end(), c.device->interfaceText) != unchecked.end())
            c.problems.push_back("whether " + wire::FormatDottedQuad(c.line.planned.ip) + " is in use on " +
                                 c.device->interfaceText +
                                 " could not be checked: the library no longer uses "
                                 "that card; check again");
    return checks;
}

site::MadePlan MakeLines(const site::MakeRequest &request, const std::atomic<bool> &stop)
{
    const auto card = std::find_if(request.selected.begin(), request.selected.end(), [&](const site::SiteDevice &d) {
        return !d.routed && d.link && d.link->Contains(request.from);
    });
    // without such a card MakePlan says why, asking nothing
    std::function<bool(uint32_t)> inUse = [](uint32_t) { return true; };
    if (card != request.selected.end())
        inUse = site::InUseInBatches(*card->link, [&stop, text = card->interfaceText](const auto &addresses) {
            if (stop)
                throw std::runtime_error("stopped");
            auto uses = AddressesInUse(text, addresses);
            if (!uses)
                throw std::runtime_error("the addresses on " + text +
                                         " cannot be checked: the library no longer uses that card; scan again");
            return *uses;
        });
    try {
        return site::MakePlan(request, inUse);
    } catch (const std::runtime_error &e) {
        site::MadePlan failed;
        failed.error = e.what();
        return failed;
    }
}

LocalCards::LocalCards()
    : cards_(cli::sys::LocalInterfaces().value_or(std::vector<cli::sys::LocalInterface>{}))
{}

std::vector<uint32_t> LocalCards::Addresses() const
{
    std::vector<uint32_t> out;
    for (const auto &card : cards_)
        for (const auto &subnet : card.subnets)
            out.push_back(subnet.first);
    return out;
}

std::optional<site::Subnet> LocalCards::LinkOf(const std::string &interfaceText) const
{
    const auto card = cli::sys::CardOf(interfaceText, cards_);
    return card ? std::optional<site::Subnet>(site::Subnet{card->first, card->second}) : std::nullopt;
}

} // namespace sitecalls
