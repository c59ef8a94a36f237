// SPDX-License-Identifier: MIT
// What the parts of the Windows smoke test share.
#pragma once

#include <string>
#include <vector>

namespace smoke {

struct Device
{
    std::string id, address;
    bool answersProbes = true;
    std::string upgrade = "succeed"; // the simulator's behaviour on a write request
};

// Counts and prints one check; safe from any thread.
void Check(bool ok, const std::string &what);

// Upgrade events, from whichever thread is uploading.
void OnUpgradeEvent(const void *record);

// Uploads to the simulated devices and compares what `store` (the
// simulator's --store folder, as a Windows path) received.
void UpgradeChecks(const std::vector<Device> &devices, const std::string &store);

} // namespace smoke
