// SPDX-License-Identifier: MIT
#include "found.h"

#include "address.h"

namespace site {

std::string Subnet::Text() const
{
    const int prefix = tvp::wire::PrefixLength(mask);
    return tvp::wire::FormatDottedQuad(address & mask) +
           (prefix >= 0 ? "/" + std::to_string(prefix) : " mask " + tvp::wire::FormatDottedQuad(mask));
}

std::string UseText(AddressUse use)
{
    switch (use) {
    case AddressUse::NotOnLink: return "it lies outside the card's subnet";
    case AddressUse::Free: return {};
    case AddressUse::Device: return "a device answers there";
    case AddressUse::Host: return "a host there refused the probe";
    case AddressUse::Neighbour: return "a host answers ARP there";
    case AddressUse::Arp: return "a host answers an ARP probe for it";
    case AddressUse::Own: return "it is this PC's own address";
    }
    return {};
}

} // namespace site
