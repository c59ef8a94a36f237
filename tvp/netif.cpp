// SPDX-License-Identifier: MIT
#include "netif.h"

#include "wire.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace tvp::net {

std::string Interface::Text() const
{
    return name + " (" + wire::FormatDottedQuad(address) + ")";
}

std::vector<std::string> SplitNames(const std::string &list)
{
    std::vector<std::string> names;
    std::string current;
    auto flush = [&] {
        if (!current.empty())
            names.push_back(current);
        current.clear();
    };
    for (char c : list) {
        if (c == ',')
            flush();
        else if (c != ' ' && c != '\t')
            current.push_back(c);
    }
    flush();
    return names;
}

LinkState &FindOrAdd(std::vector<LinkState> &links, const std::string &name)
{
    for (auto &l : links)
        if (l.name == name)
            return l;
    links.push_back({name});
    return links.back();
}

bool Selected(const LinkState &link, const std::vector<std::string> &names)
{
    if (names.empty())
        return !link.loopback && link.broadcast;
    return std::find(names.begin(), names.end(), link.name) != names.end();
}

std::vector<Skipped> SkippedLinks(const std::vector<LinkState> &links, const std::vector<std::string> &names,
                                  const std::vector<Interface> &used)
{
    std::vector<Skipped> out, notNamed;
    for (const auto &n : names)
        if (std::none_of(links.begin(), links.end(), [&](const LinkState &l) { return l.name == n; }))
            out.push_back({n, "does not exist", SkipReason::Missing});
    for (const auto &l : links) {
        if (std::any_of(used.begin(), used.end(), [&](const Interface &i) { return i.name == l.name; }))
            continue;
        const bool named = std::find(names.begin(), names.end(), l.name) != names.end();
        auto skip = [&](const char *reason, SkipReason code) { out.push_back({l.name, reason, code, l.index}); };
        if (!names.empty() && !named)
            notNamed.push_back({l.name, "is not named in TVP_INTERFACES", SkipReason::NotNamed, l.index});
        else if (names.empty() && l.loopback)
            skip("is loopback (used only when TVP_INTERFACES names it)", SkipReason::Loopback);
        else if (!l.up)
            skip("is down", SkipReason::Down);
        else if (!l.ipv4)
            skip("has no IPv4 address", SkipReason::NoIPv4);
        else if (names.empty() && !l.broadcast)
            skip("does not broadcast", SkipReason::NoBroadcast);
        else
            skip("has no usable IPv4 address", SkipReason::NoUsableAddress);
    }
    out.insert(out.end(), notNamed.begin(), notNamed.end());
    return out;
}

bool ParseInterfaceText(const std::string &text, std::string *name, std::optional<uint32_t> *address)
{
    if (text.empty() || text.front() == ' ' || text.back() == ' ' || text.front() == '(')
        return false;
    if (std::count(text.begin(), text.end(), '(') != std::count(text.begin(), text.end(), ')'))
        return false;
    // a name may hold " (" itself, as Windows names do: the address is the last group
    const size_t open = text.rfind(" (");
    if (open != std::string::npos && text.back() == ')') {
        const std::string inner = text.substr(open + 2, text.size() - open - 3);
        uint32_t a = 0;
        if (wire::ParseDottedQuad(inner.c_str(), &a)) {
            *name = text.substr(0, open);
            *address = a;
            return true;
        }
        if (inner.find_first_not_of("0123456789.") == std::string::npos)
            return false; // an address, but a broken one
    }
    // a bare name, "Ethernet 2" or "vEthernet (Default Switch)" included
    *name = text;
    address->reset();
    return true;
}

std::optional<uint32_t> DefaultGateway(const std::string &routeTable, const std::string &ifname)
{
    std::istringstream in(routeTable);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gw, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gw >> flags >> refcnt >> use >> metric >> mask))
            continue;
        if (iface != ifname || dest != "00000000" || mask != "00000000")
            continue;
        unsigned long value = 0, f = 0;
        try {
            value = std::stoul(gw, nullptr, 16);
            f = std::stoul(flags, nullptr, 16);
        } catch (...) {
            continue;
        }
        const unsigned long RTF_UP_ = 0x1, RTF_GATEWAY_ = 0x2;
        if (!(f & RTF_UP_) || !(f & RTF_GATEWAY_) || value == 0 || value > 0xffffffffUL)
            continue;
        // the kernel prints the address as a native-endian word: network order in memory
        const uint32_t word = uint32_t(value);
        uint8_t bytes[4];
        std::memcpy(bytes, &word, 4);
        return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    }
    return std::nullopt;
}

std::vector<uint32_t> Candidates(const ChooseRequest &r, size_t skip, size_t count)
{
    std::vector<uint32_t> out;
    const int prefix = wire::PrefixLength(r.mask);
    if (prefix < 0 || prefix >= 31)
        return out;
    const uint32_t network = r.own & r.mask;
    const uint32_t hosts = (prefix == 0 ? 0xffffffffu : (1u << (32 - prefix))) - 2;
    for (uint32_t i = 0; i < hosts && out.size() < count; ++i) {
        uint32_t candidate = network + 1 + uint32_t((uint64_t(r.seed) + i) % hosts);
        if (candidate == r.own || (r.gateway && candidate == *r.gateway) || r.taken.count(candidate))
            continue;
        if (skip) {
            --skip;
            continue;
        }
        out.push_back(candidate);
    }
    return out;
}

std::optional<uint32_t> ChooseAddress(const ChooseRequest &r, const std::function<bool(uint32_t)> &answersProbe)
{
    for (uint32_t candidate : Candidates(r, 0, size_t(std::max(r.maxProbes, 0))))
        if (!answersProbe(candidate))
            return candidate;
    return std::nullopt;
}

uint32_t Fnv1a(const std::string &text)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

} // namespace tvp::net
