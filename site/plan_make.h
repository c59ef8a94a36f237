// SPDX-License-Identifier: MIT
// A plan made from an address: consecutive free addresses for the devices
// selected, on the card they were found on. No I/O: whether an address is
// in use is the caller's check.
#pragma once

#include "found.h"
#include "plan.h"

#include <functional>
#include <string>
#include <vector>

namespace site {

struct MakeRequest
{
    std::vector<SiteDevice> selected; // the devices to plan
    std::vector<SiteDevice> found;    // every device found, whose addresses are taken
    std::vector<uint32_t> pcAddresses;
    uint32_t from = 0;
    uint32_t gateway = 0; // 0: none
};

struct MadePlan
{
    std::vector<PlanLine> lines;      // in name order
    std::vector<std::string> leftOut; // a sentence for each device left out
    std::string error;                // set when nothing can be planned
};

// From `from` on, in the name order of the devices (ID order among equal
// names): each gets the next address of the subnet of its card that is a
// host address, not the PC's, not the gateway, not held by another device
// found and not in use by `inUse` (not asked for a device's own present
// address), with the card's mask. Devices found on another card or behind
// a router are left out.
MadePlan MakePlan(MakeRequest request, const std::function<bool(uint32_t)> &inUse);

// The address checks' uses of addresses, in their order.
using UseCheck = std::function<std::vector<AddressUse>(const std::vector<uint32_t> &addresses)>;

// An `inUse` for MakePlan on one card: asks `check` for the next
// InUseBatch addresses of the card from the one asked about on (a check
// costs about as much for one address as for many), each address once;
// anything but Free is in use, and so is an address off the card. What
// `check` throws goes to the caller of `inUse`.
inline constexpr size_t InUseBatch = 32;
std::function<bool(uint32_t)> InUseInBatches(const Subnet &card, UseCheck check);

} // namespace site
