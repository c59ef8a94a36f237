// SPDX-License-Identifier: MIT
// The device list as discover writes it. The program's Export List writes
// the same fields through here, so a script reads either file alike.
#pragma once

#include "conflicts.h"
#include "output.h"

#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct FoundDevice
{
    std::string id, interface, ip, name, type;
    // false too when another ID reported the same address: the probe's
    // answer there names no device, so it can't be credited to this one
    bool reachable = false;
    std::vector<std::string> conflict; // the other IDs at its address
};

// The addresses that two or more of the devices report, with their IDs.
site::SharedAddresses SharedAddresses(const std::vector<FoundDevice> &devices);

// Gives each device that shares its address the other IDs there, and takes
// its reachable mark away.
void MarkSharedAddresses(std::vector<FoundDevice> &devices);

// The devices in their order: a table, a JSON array of objects, or CSV with
// a header line; the keys are name, type, ip, id, interface, reachable and
// conflict.
void PrintDevices(std::ostream &out, const std::vector<FoundDevice> &devices, Format format);

} // namespace cli
