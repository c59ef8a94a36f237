// SPDX-License-Identifier: MIT
// What a discovery and the address checks found: the facts a plan is
// checked and made against, gathered by the command line or the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace site {

// An address with its mask: a PC card's, or a plan's.
struct Subnet
{
    uint32_t address = 0;
    uint32_t mask = 0;
    bool Contains(uint32_t a) const { return (a & mask) == (address & mask); }
    std::string Text() const; // "10.1.0.0/24"
};

// A device as a discovery found it.
struct SiteDevice
{
    std::string id; // canonical, "00:1A:2B:3C:4D:5E"
    std::string name, type, ip;
    std::string interfaceText;  // the library's: "eth0 (10.1.0.1)"
    std::optional<Subnet> link; // the address and mask of that card; none when unknown
    bool routed = false;        // found only by a Discover sent to its address (behind a router)
};

// What the address checks found at an address (TVPAddressUse's values).
enum class AddressUse { NotOnLink = -1, Free = 0, Device = 1, Host = 2, Neighbour = 3, Arp = 4, Own = 5 };
// "a host answers ARP there", ...; empty for Free.
std::string UseText(AddressUse use);

} // namespace site
