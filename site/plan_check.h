// SPDX-License-Identifier: MIT
// The check of a plan against what a discovery and the address checks
// found: every problem reported against its line, in words a user can act
// on. No I/O: the caller gathers the facts.
#pragma once

#include "found.h"
#include "plan.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace site {

struct CheckFacts
{
    std::vector<SiteDevice> devices;     // every device found, those behind routers too
    std::vector<uint32_t> pcAddresses;   // this PC's own addresses
    std::map<uint32_t, AddressUse> uses; // the address checks' findings at planned addresses
};

struct LineCheck
{
    PlanLine line;
    std::optional<SiteDevice> device; // the line's device as found
    std::vector<std::string> problems;
    bool Passed() const { return problems.empty(); }
};

// The planned addresses the address checks must look at, by the interface
// text of the card each line's device was found on: the static addresses
// of devices found on a link, except a device's own present address.
std::map<std::string, std::vector<uint32_t>> AddressesToCheck(const std::vector<PlanLine> &lines,
                                                              const std::vector<SiteDevice> &devices);

// Every line against the facts, in the plan's order.
std::vector<LineCheck> CheckPlan(const std::vector<PlanLine> &lines, const CheckFacts &facts);

// As `plan check` reports them: outcome "ok" or "problem", the problems
// joined in the message.
std::vector<LineResult> CheckResults(const std::vector<LineCheck> &checks);

} // namespace site
