// SPDX-License-Identifier: MIT
// Address ranges as the command line's --target and the program's Scan
// Addresses take them; single addresses are the library's address texts
// (address.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace site {

// An inclusive range of addresses.
struct Range
{
    uint32_t first = 0;
    uint32_t last = 0;
    uint64_t Size() const { return uint64_t(last) - first + 1; }
};

// "10.1.2.3" or "10.1.0.0/16". A prefix shorter than /31 leaves out the
// network and broadcast addresses, which no device holds; host bits in
// the base address are ignored ("10.1.2.3/24" is 10.1.2.0/24). Empty with
// a message in *error for anything else, for /0 to /7 (too many addresses
// to ask one by one) and for addresses no device can hold (0.0.0.0,
// multicast, 255.255.255.255).
std::optional<Range> ParseTarget(const std::string &text, std::string *error);

// Each text parsed and the ranges merged; empty with a message in *error
// naming the first text that is no range.
std::optional<std::vector<Range>> ParseTargets(const std::vector<std::string> &texts, std::string *error);

// The ranges sorted, overlapping and adjacent ones joined, so no address
// is asked twice.
std::vector<Range> MergeRanges(std::vector<Range> ranges);
bool Contains(const std::vector<Range> &merged, uint32_t address);
uint64_t TotalSize(const std::vector<Range> &merged);

// Walks merged ranges address by address.
class RangeWalker
{
public:
    explicit RangeWalker(std::vector<Range> merged)
        : ranges_(std::move(merged))
    {}
    bool Next(uint32_t *address);

private:
    std::vector<Range> ranges_;
    size_t index_ = 0;
    uint64_t offset_ = 0;
};

} // namespace site
