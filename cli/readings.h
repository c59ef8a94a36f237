// SPDX-License-Identifier: MIT
// What the diagnosis reads from the system without changing anything: the
// kind of each interface, the reverse-path filter, the firewall, and the
// devices' answers as they arrive. One file per system (readings_linux.cpp,
// readings_win.cpp); the kind rules in readings.cpp, testable anywhere. The
// program links this too: nothing here blocks for more than a few seconds
// (the firewall tool), and the capture is polled by its handles.
#pragma once

#include "doctor.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli::sys {

// What Linux's sysfs tells of an interface, for its kind.
struct LinuxLinkFacts
{
    std::string name;
    bool known = true;   // false: sysfs does not list it (a /sys of another namespace)
    int type = 1;        // ARPHRD_*: 1 Ethernet, 772 loopback, 65534 none (tun), ...
    std::string devtype; // DEVTYPE of its uevent: "wlan", "bridge", "vlan", "wireguard", ...
    bool wireless = false, bridge = false, physical = false; // wireless/, bridge/, device
    int tunFlags = -1;                                       // tun_flags; -1 when it is no tun or tap
    bool physicalPort = false;                               // a bridge: one of its ports is a physical card
    bool physicalLower = false;                              // a VLAN or macvlan: the card under it is physical
    std::string portOf;                                      // the bridge it is a port of (brport/, master)
};
site::InterfaceKind ClassifyLinux(const LinuxLinkFacts &facts);

// What Windows tells of an adapter, for its kind.
struct WindowsAdapterFacts
{
    unsigned long ifType = 6; // IF_TYPE_*
    std::string description;  // "Intel(R) Ethernet ...", "Hyper-V Virtual Ethernet Adapter"
};
site::InterfaceKind ClassifyWindows(const WindowsAdapterFacts &facts);

// The PC's interfaces as the system shows them, with kind, filter and
// firewall profile; the library's counters are not filled in here.
std::vector<site::DoctorInterface> SystemInterfaces();

// The system-wide facts of the diagnosis: the reverse-path filter of all
// interfaces, whether a default route exists, and the firewall (Linux:
// nftables or iptables rules; Windows: profiles and the program's rule).
void ReadSystemFacts(site::DoctorFacts &facts);

// Packets the reverse-path filter has dropped since the system started
// (Linux's IPReversePathFilter); nullopt elsewhere or when unreadable.
std::optional<uint64_t> RpFilterDrops();

// The devices' answers as they arrive on the PC's interfaces, before any
// filter: a capture where the system allows one (Linux with CAP_NET_RAW).
class AnswerTap
{
public:
    AnswerTap() = default;
    ~AnswerTap();
    AnswerTap(const AnswerTap &) = delete;
    AnswerTap &operator=(const AnswerTap &) = delete;

    // Captures UDP datagrams from `port` on each named interface; false
    // when the system allows no capture (then nothing is open).
    bool Open(const std::vector<std::string> &interfaces, uint16_t port);
    // Reads what has arrived, without waiting.
    void Drain();
    // Each source once per interface, in the order first seen.
    const std::vector<site::WireAnswer> &Answers() const { return answers_; }

private:
    struct Socket
    {
        int fd;
        std::string interface;
    };
    std::vector<Socket> sockets_;
    uint16_t port_ = 0;
    std::vector<site::WireAnswer> answers_;
};

} // namespace cli::sys
