// SPDX-License-Identifier: MIT
// A sweep of address ranges at a rate: asking each address directly is
// how devices behind a router are found, and the rate keeps a /16 from
// flooding the router or the site's links.
#pragma once

#include "ranges.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace site {

// Requests per second to the addresses of a sweep: the default, and the
// bounds a user may choose from.
constexpr double kDefaultSweepRate = 1000;
constexpr double kMinSweepRate = 1;
constexpr double kMaxSweepRate = 1000000;

// Which addresses are due when, with time passed in as seconds since the
// sweep began: the n-th request (from 0) is due at n / rate, never sooner.
class SweepPacer
{
public:
    // `merged` as MergeRanges returns them; `rate` in requests per second, > 0.
    SweepPacer(std::vector<Range> merged, double rate);

    // The addresses due by `elapsedS` and not handed out yet, in order, at
    // most `max` of them (a caller that must not block long asks for few).
    std::vector<uint32_t> Due(double elapsedS, size_t max = std::numeric_limits<size_t>::max());
    // When the next address is due, in seconds since the start.
    double NextDueS() const { return double(asked_) / rate_; }
    bool Done() const { return asked_ >= total_; }
    uint64_t Asked() const { return asked_; }
    uint64_t Total() const { return total_; }

private:
    RangeWalker walker_;
    double rate_;
    uint64_t total_;
    uint64_t asked_ = 0;
};

} // namespace site
