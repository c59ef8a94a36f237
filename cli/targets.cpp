// SPDX-License-Identifier: MIT
#include "targets.h"

#include <algorithm>

namespace cli {

std::optional<uint32_t> ParseAddress(const std::string &text)
{
    uint32_t address = 0;
    size_t i = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
        size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + unsigned(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        address = address << 8 | value;
    }
    if (i != text.size())
        return std::nullopt;
    return address;
}

std::string FormatAddress(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

bool IsMask(uint32_t mask)
{
    return mask != 0 && (~mask & (~mask + 1)) == 0;
}

std::optional<Range> ParseTarget(const std::string &text, std::string *error)
{
    const size_t slash = text.find('/');
    const std::string base = text.substr(0, slash);
    const auto address = ParseAddress(base);
    if (!address) {
        *error = "\"" + base + "\" is not an IPv4 address";
        return std::nullopt;
    }
    int prefix = 32;
    if (slash != std::string::npos) {
        const std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 2 || !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoi(p) > 32) {
            *error = "\"" + text + "\" has no prefix length from 0 to 32";
            return std::nullopt;
        }
        prefix = std::stoi(p);
    }
    if (prefix < 8) {
        *error = "\"" + text + "\" holds too many addresses to ask one by one (at most a /8)";
        return std::nullopt;
    }
    const uint32_t mask = prefix == 32 ? 0xffffffffu : ~(0xffffffffu >> prefix);
    Range r{*address & mask, (*address & mask) | ~mask};
    if (prefix < 31) {
        ++r.first;
        --r.last;
    }
    // no device holds these; asking them would be a broadcast or multicast
    if (r.first < 0x01000000u) // 0.x.x.x, "this network"
        r.first = 0x01000000u;
    if (r.last >= 0xe0000000u)
        r.last = 0xdfffffffu;
    if (r.first > r.last) {
        *error = "\"" + text + "\" holds no address a device can have";
        return std::nullopt;
    }
    return r;
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
    auto it = std::upper_bound(merged.begin(), merged.end(), address,
                               [](uint32_t a, const Range &r) { return a < r.first; });
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

} // namespace cli
