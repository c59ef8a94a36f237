// SPDX-License-Identifier: MIT
// Firmware uploads to many devices, several at a time, with the retry
// rule of the upgrade dialog: the fleet schedule's (site/fleet.h).
#pragma once

#include "library.h"
#include "output.h"

#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct UpgradeTarget
{
    std::string target; // as given: an address, an ID, or the selected device's address
    std::string ip;     // empty: not resolved, see `problem`
    std::string id, name;
    std::string problem;
};

struct UpgradeSettings
{
    std::string file;
    int jobs = 1;
    bool verify = false;
    double verifyTimeoutS = 30;
    bool progress = false; // bars on stderr
    Format format = Format::Text;
};

// Uploads to every resolved target, prints one outcome per device to
// `out`, and returns the exit code: 0 when every upload (and, with verify,
// every new answer) succeeded, else 1.
int RunUpgrades(Library &library, const std::vector<UpgradeTarget> &targets, const UpgradeSettings &settings,
                std::ostream &out);

} // namespace cli
