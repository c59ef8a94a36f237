// SPDX-License-Identifier: MIT
// Two devices on one address: IDs that report the same address in one
// scan. A probe of that address can't tell them apart (its answer names no
// device), and whatever goes there by address (Web, Telnet, an upgrade)
// may reach either.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace site {

// One device as a scan reported it.
struct Sighting
{
    std::string id;
    std::string address; // as the library reports it; empty: none
};

// Each address that two or more IDs reported, with those IDs (sorted, each
// once). A device seen twice is one device.
using SharedAddresses = std::map<std::string, std::vector<std::string>>;
SharedAddresses FindSharedAddresses(const std::vector<Sighting> &scan);

// The IDs other than `id` that reported `address`: empty when it shares it
// with none.
std::vector<std::string> OthersAt(const SharedAddresses &shared, const std::string &address, const std::string &id);

} // namespace site
