// SPDX-License-Identifier: MIT
// netscry-cli watch, and discover's --save and --compare: what changed on
// a LAN, as the events of site/watch, printed as lines or JSON Lines.
#pragma once

#include "library.h"

#include "watch.h"

#include <ostream>

namespace cli {

struct WatchOptions
{
    LibraryOptions library;
    double intervalS = 10;
    bool json = false;
};

// Discovers every interval until interrupted, one event per change, each
// line flushed at once; exit code 0 when interrupted.
int RunWatch(const WatchOptions &options, std::ostream &out);

std::vector<site::WatchDevice> WatchDevices(const std::vector<FoundDevice> &found);

// One event: "2024-05-01T10:00:00.123Z appeared ..." or a JSON object on
// one line with "time" first.
std::string EventLine(const site::WatchEvent &event, bool json);

// A site file read and checked; UsageError naming the file and what is
// wrong.
std::vector<site::WatchDevice> ReadSite(const std::string &path);
// The devices as discover --json prints them, written whole; Failure when
// it cannot be.
void SaveSite(const std::string &path, const std::string &json);

} // namespace cli
