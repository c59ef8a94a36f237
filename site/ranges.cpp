// SPDX-License-Identifier: MIT
#include "ranges.h"

#include "address.h"

#include <algorithm>

namespace site {

namespace wire = tvp::wire;

std::optional<Range> ParseTarget(const std::string &text, std::string *error)
{
    const size_t slash = text.find('/');
    const std::string base = text.substr(0, slash);
    const auto address = wire::ParseDottedQuad(base);
    if (!address) {
        *error = "\"" + base + "\" is not an IPv4 address";
        return std::nullopt;
    }
    int prefix = 32;
    if (slash != std::string::npos) {
        const std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 2 ||
            !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }) || std::stoi(p) > 32) {
            *error = "\"" + text + "\" has no prefix length from 0 to 32";
            return std::nullopt;
        }
        prefix = std::stoi(p);
    }
    if (prefix < 8) {
        *error = "\"" + text + "\" holds too many addresses to ask one by one (at most a /8)";
        return std::nullopt;
    }
    const uint32_t mask = wire::MaskOf(unsigned(prefix));
    Range r{*address & mask, (*address & mask) | ~mask};
    if (prefix < 31) {
        ++r.first;
        --r.last;
    }
    // no device holds these; asking them would be a broadcast or multicast
    r.first = std::max(r.first, wire::kFirstAfterThisNetwork);
    r.last = std::min(r.last, wire::kFirstMulticast - 1);
    if (r.first > r.last) {
        *error = "\"" + text + "\" holds no address a device can have";
        return std::nullopt;
    }
    return r;
}

std::optional<std::vector<Range>> ParseTargets(const std::vector<std::string> &texts, std::string *error)
{
    std::vector<Range> ranges;
    for (const auto &t : texts) {
        auto r = ParseTarget(t, error);
        if (!r)
            return std::nullopt;
        ranges.push_back(*r);
    }
    return MergeRanges(std::move(ranges));
}

std::vector<Range> MergeRanges(std::vector<Range> ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.first < b.first; });
    std::vector<Range> out;
    for (const auto &r : ranges) {
        if (!out.empty() && uint64_t(r.first) <= uint64_t(out.back().last) + 1)
            out.back().last = std::max(out.back().last, r.last);
        else
            out.push_back(r);
    }
    return out;
}

bool Contains(const std::vector<Range> &merged, uint32_t address)
{
    auto it =
        std::upper_bound(merged.begin(), merged.end(), address, [](uint32_t a, const Range &r) { return a < r.first; });
    return it != merged.begin() && address <= std::prev(it)->last;
}

uint64_t TotalSize(const std::vector<Range> &merged)
{
    uint64_t n = 0;
    for (const auto &r : merged)
        n += r.Size();
    return n;
}

bool RangeWalker::Next(uint32_t *address)
{
    while (index_ < ranges_.size()) {
        if (offset_ < ranges_[index_].Size()) {
            *address = uint32_t(ranges_[index_].first + offset_++);
            return true;
        }
        ++index_;
        offset_ = 0;
    }
    return false;
}

} // namespace site
