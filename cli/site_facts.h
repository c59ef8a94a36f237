// SPDX-License-Identifier: MIT
// What the plan commands learn of the site through the library: the
// devices found (those behind a router marked), the PC's own addresses,
// and what the address checks find at planned addresses.
#pragma once

#include "found.h"
#include "library.h"
#include "ranges.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace cli {

struct SiteScan
{
    std::vector<site::SiteDevice> devices;
    std::vector<uint32_t> pcAddresses;
};

struct SiteScanPlan
{
    double timeoutS = 2.5;
    double rate = 1000;
    // With targets, a second run asks them and `alsoAsk` by unicast; a
    // device that only it finds is behind a router.
    std::vector<site::Range> targets;
    std::vector<uint32_t> alsoAsk;
};

// A broadcast discovery, then the targets' sweep when there are any.
SiteScan ScanSite(Library &library, const SiteScanPlan &plan);

// The address checks at `addresses`, by the Interface text of the card
// they lie on. Failure when the library knows none of a card.
std::map<uint32_t, site::AddressUse> CheckAddresses(Library &library,
                                                    const std::map<std::string, std::vector<uint32_t>> &addresses);

// Whether an address on a card is in use, for plan make: asked in batches
// from the address asked for on, each address once.
std::function<bool(uint32_t)> InUseOnCard(Library &library, const std::string &interfaceText, const site::Subnet &card);

} // namespace cli
