// SPDX-License-Identifier: MIT
// Why a device is not found: findings from the facts of one discovery
// cycle (the PC's interfaces, what the library sent, received and dropped
// on each, the devices found, the reverse-path filter, the firewall), the
// most likely cause first, each one sentence with what to do. Pure: the
// facts are read elsewhere and handed in.
#pragma once

#include "firewall.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace site {

enum class InterfaceKind { Unknown, Wired, Wireless, Bridge, VirtualBridge, Tunnel, VirtualLink, Loopback };
// "wired", "wireless", "bridge", "container or virtual bridge", "VPN or
// tunnel", "virtual link", "loopback", "of unknown kind".
const char *KindText(InterfaceKind kind);

// Whether the library uses an interface, and if not why; the values of the
// C interface's TVPInterfaceUse.
enum class InterfaceUse { Used = 0, Down, NoIPv4, NoBroadcast, NotNamed, Loopback, Missing, Unusable };

struct DoctorInterface
{
    std::string name;
    // the system's view
    bool up = false, broadcast = false;
    std::vector<std::pair<uint32_t, uint32_t>> addresses; // address, mask
    InterfaceKind kind = InterfaceKind::Unknown;
    std::string portOf;          // a port of this bridge, which holds the address for it
    std::optional<int> rpFilter; // Linux: net.ipv4.conf.<name>.rp_filter
    std::string firewallProfile; // Windows: "domain", "private" or "public"; empty when unknown
    // the library's (TVPInterfaceReport)
    InterfaceUse use = InterfaceUse::Used;
    std::string notUsedWhy; // "is down"
    uint32_t discovers = 0, sendErrors = 0;
    uint64_t bytesSent = 0;
    std::string lastSendError;
    uint32_t answers = 0, devices = 0;
    uint32_t late = 0, impossible = 0, malformed = 0, duplicate = 0, notInUse = 0;
};

// A device the discovery found, one per ID.
struct DoctorDevice
{
    std::string id, name, ip;
    std::string interfaceText; // the library's, "eth0 (10.1.0.1)"
    bool reachable = false;
};

// A device's answer seen arriving on an interface, before any filter of
// the PC (a capture where the system allows one).
struct WireAnswer
{
    std::string interface;
    uint32_t source = 0;
};

struct LinuxFirewall
{
    std::optional<Ruleset> rules;               // none: not readable
    std::string unreadable;                     // why not
    bool needPrivileges = true;                 // false: no tool to read them is installed
    uint16_t portLow = 32768, portHigh = 60999; // the system's ephemeral ports
};

struct WindowsFirewall
{
    std::string unreadable;                // empty when read
    std::map<std::string, bool> enabled;   // profile -> the firewall is on there
    bool ruleFound = false;                // an enabled inbound allow rule for the program, UDP or any protocol
    std::vector<std::string> ruleProfiles; // the profiles it covers
    std::string program;                   // the program's path
};

struct DoctorFacts
{
    std::vector<DoctorInterface> interfaces;
    std::vector<DoctorDevice> devices;
    bool libraryStarted = true;
    uint16_t port = 30718; // the device port
    std::string selection; // TVP_INTERFACES; empty when unset
    // Linux
    std::optional<int> rpFilterAll;              // net.ipv4.conf.all.rp_filter
    bool defaultRoute = false;                   // then a loose filter lets foreign answers in
    std::optional<std::vector<WireAnswer>> wire; // none: no capture was possible
    std::optional<uint64_t> rpFilterDrops;       // packets the filter dropped during the cycle
    std::optional<LinuxFirewall> linuxFirewall;
    std::optional<WindowsFirewall> windowsFirewall;
};

struct Finding
{
    std::string kind;      // "interface-down", "rp-filter", ... for scripts and tests
    std::string subject;   // the interface or address it is about; may be empty
    std::string text;      // one sentence with what to do
    bool blocking = false; // answers are dropped, or nothing can be sent
    int rank = 0;          // lower: more likely the cause
};

struct DoctorReport
{
    std::vector<Finding> findings; // most likely cause first
    int exitCode = 1;              // 0: a device answered and nothing blocks answers
};

DoctorReport Diagnose(const DoctorFacts &facts);

// The reverse-path filter in force on an interface: the larger of `all`
// and the interface's own; nullopt when neither is known.
std::optional<int> EffectiveRpFilter(const DoctorFacts &facts, const DoctorInterface &i);

// One line per interface for people: "eth0: wired, up, 10.1.0.1/24,
// broadcast; used: 5 Discovers (560 bytes) sent; 10 answers from 2
// devices; dropped 1 late; rp_filter 1".
std::string InterfaceLine(const DoctorFacts &facts, const DoctorInterface &i);

} // namespace site
