// SPDX-License-Identifier: MIT
#include "sweep.h"

#include <algorithm>
#include <cmath>

namespace site {

SweepPacer::SweepPacer(std::vector<Range> merged, double rate)
    : walker_(merged),
      rate_(rate > 0 ? rate : kMinSweepRate),
      total_(TotalSize(merged))
{}

std::vector<uint32_t> SweepPacer::Due(double elapsedS, size_t max)
{
    // the first one at once, then one every 1 / rate seconds
    const double reached = std::floor(std::max(elapsedS, 0.0) * rate_) + 1;
    const uint64_t allowed = reached >= double(total_) ? total_ : uint64_t(reached);
    std::vector<uint32_t> due;
    uint32_t address = 0;
    while (asked_ < allowed && due.size() < max && walker_.Next(&address)) {
        due.push_back(address);
        ++asked_;
    }
    return due;
}

} // namespace site
