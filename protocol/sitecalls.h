// SPDX-License-Identifier: MIT
// The library calls of the program's site tools that are no device events:
// the requests of a plan apply, the probe of a device found again, the
// address checks, and this PC's cards. Qt-free; the answers come back as
// events through the protocol interface object.
#pragma once

#include "found.h"
#include "plan_apply.h"
#include "plan_check.h"
#include "plan_make.h"
#include "system.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sitecalls {

// Sends what a plan apply asks for: GetIP and SetIP by ID, or by unicast to
// a device behind a router; a discovery broadcast or a Discover to an
// address. Empty when sent; otherwise why nothing was sent, in words.
std::string Send(const site::ApplyRequest &request);

// Whether a device that answered a discovery at `ip` answers the probe
// there; `named`: an address asked by unicast, behind a router perhaps.
// The library probed it before it delivered the answer, so this returns at
// once for a device just heard of.
bool Answers(const std::string &ip, bool named);

// What the address checks find at addresses on the subnet of a card (an
// Interface text), in their order; nullopt when the library uses no such
// interface. Blocks about 0.6 s per 256 addresses: call it from a worker
// thread, as the library allows.
std::optional<std::vector<site::AddressUse>> AddressesInUse(const std::string &interfaceText,
                                                            const std::vector<uint32_t> &addresses);

// A plan's lines checked against the devices found: the address checks at
// the planned addresses, then every rule. Blocks as the address checks do;
// `stop` ends it early, with nothing.
std::vector<site::LineCheck> CheckLines(const std::vector<site::PlanLine> &lines,
                                        const std::vector<site::SiteDevice> &devices,
                                        const std::vector<uint32_t> &pcAddresses, const std::atomic<bool> &stop);

// A plan made as netscry-cli plan make makes it, the addresses in use
// asked on the card that holds `from`. Blocks likewise.
site::MadePlan MakeLines(const site::MakeRequest &request, const std::atomic<bool> &stop);

// This PC's cards as the system lists them when read.
class LocalCards
{
public:
    LocalCards();
    // Every address of every card.
    std::vector<uint32_t> Addresses() const;
    // The address and mask of the card an Interface text names.
    std::optional<site::Subnet> LinkOf(const std::string &interfaceText) const;

private:
    std::vector<cli::sys::LocalInterface> cards_;
};

} // namespace sitecalls
