// SPDX-License-Identifier: MIT
// What changed on a LAN, as events: a watch that is handed one scan after
// another, and the comparison of a saved site file with a scan. Pure: the
// devices and the time are handed in, nothing is read or sent.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace site {

using WallClock = std::chrono::system_clock;

// A device as one scan found it, or as a site file holds it.
struct WatchDevice
{
    std::string id; // canonical, "00:1A:2B:3C:4D:5E"
    std::string name, type, ip;
    std::string mask;          // empty when the scan did not learn it
    std::string interfaceText; // the library's, "eth0 (10.1.0.1)"
    bool reachable = false;
};

enum class WatchEventKind {
    Appeared,
    Changed,
    Reachable,
    Unreachable,
    Conflict,
    Disappeared,
    // a site file against a scan
    New,
    Missing,
    Moved,
};
// "appeared", "changed", ... as JSON and text show them.
const char *EventName(WatchEventKind kind);

struct WatchEvent
{
    WatchEventKind kind = WatchEventKind::Appeared;
    WallClock::time_point time;
    WatchDevice device; // as seen now; as last seen for Disappeared and Missing
    // Changed and Moved: "ip", "mask", "name", "type" or "interface"
    std::string field, before, after;
    std::vector<std::string> ids; // Conflict: every ID at device.ip, sorted
};

// One line for people, without the time: "changed 00:1A:... (Name): ip
// 10.1.0.5 -> 10.1.0.9".
std::string EventText(const WatchEvent &event);

// The interface name of an Interface text: "eth0" of "eth0 (10.1.0.1)".
std::string InterfaceName(const std::string &interfaceText);

class Watch
{
public:
    // A device is gone once it has not answered this many scans in a row.
    static constexpr int kMissedScans = 3;

    struct Known
    {
        WatchDevice device;             // as last seen
        WallClock::time_point lastSeen; // the scan that last found it
        int missed = 0;                 // scans in a row without it
        bool gone = false;              // Disappeared was reported
    };

    // One scan's devices (one entry per ID; later ones with the same ID are
    // ignored) found at `now`: the events it makes, in this order: per
    // device as listed, appeared, changed (ip, mask, name, type, interface)
    // and reachable or unreachable; then conflicts; then disappeared.
    // The first scan reports every device as appeared.
    std::vector<WatchEvent> Scan(const std::vector<WatchDevice> &found, WallClock::time_point now);

    // Every device seen so far, by ID (for "missing since").
    const std::map<std::string, Known> &Devices() const { return known_; }

private:
    std::map<std::string, Known> known_;
    std::map<std::string, std::vector<std::string>> conflicts_; // address -> IDs, as last reported
};

// A saved site against a scan: new, missing, moved (another address) and
// changed (mask when both know it, name, type, interface), then conflicts
// in the scan. Reachability is not compared: a file holds no present.
std::vector<WatchEvent> CompareSite(const std::vector<WatchDevice> &saved, const std::vector<WatchDevice> &scan,
                                    WallClock::time_point now);

// A site file is the command line's JSON list of devices (discover --json):
// objects with "id" and any of "name", "type", "ip", "mask", "interface",
// "reachable". Empty, with *error naming the device and what is wrong, for
// anything else.
std::optional<std::vector<WatchDevice>> ParseSiteFile(const std::string &text, std::string *error);

} // namespace site
