// SPDX-License-Identifier: MIT
// The kind of an interface from what the system tells of it; the rules
// hold on every system, so they are tested anywhere.
#include "readings.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace cli::sys {

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool HasAny(const std::string &text, std::initializer_list<const char *> words)
{
    const std::string lower = Lower(text);
    return std::any_of(words.begin(), words.end(), [&](const char *w) { return lower.find(w) != std::string::npos; });
}

// Bridges that container and VM managers make for their guests.
bool ContainerBridgeName(const std::string &name)
{
    static const std::array<const char *, 7> prefixes = {"docker", "virbr", "lxcbr", "lxdbr", "cni", "podman", "br-"};
    return std::any_of(prefixes.begin(), prefixes.end(), [&](const char *p) { return name.rfind(p, 0) == 0; });
}

} // namespace

site::InterfaceKind ClassifyLinux(const LinuxLinkFacts &f)
{
    using K = site::InterfaceKind;
    // ARPHRD_LOOPBACK; the tunnels: none (tun), IPIP, IPv6-in-IPv6, SIT, GRE, IPv6 GRE, PPP
    constexpr int kLoopback = 772;
    constexpr std::array<int, 7> kTunnels = {65534, 768, 769, 776, 778, 823, 512};
    constexpr int kTunFlagTun = 0x0001;
    if (!f.known)
        return K::Unknown;
    if (f.type == kLoopback)
        return K::Loopback;
    if (f.wireless || f.devtype == "wlan")
        return K::Wireless;
    if (f.bridge || f.devtype == "bridge")
        return f.physicalPort && !ContainerBridgeName(f.name) ? K::Bridge : K::VirtualBridge;
    if (f.devtype == "wireguard" || f.devtype == "ppp" ||
        std::find(kTunnels.begin(), kTunnels.end(), f.type) != kTunnels.end() ||
        (f.tunFlags >= 0 && (f.tunFlags & kTunFlagTun)))
        return K::Tunnel;
    if (f.physical || f.physicalLower)
        return f.type == 1 ? K::Wired : K::Unknown;
    // veth, tap, dummy: links between namespaces and virtual machines
    return K::VirtualLink;
}

site::InterfaceKind ClassifyWindows(const WindowsAdapterFacts &f)
{
    using K = site::InterfaceKind;
    // IF_TYPE_* of ipifcons.h
    constexpr unsigned long kEthernet = 6, kPpp = 23, kLoopback = 24, kWireless = 71, kTunnel = 131;
    if (f.ifType == kLoopback)
        return K::Loopback;
    if (f.ifType == kTunnel || f.ifType == kPpp || HasAny(f.description, {"vpn", "tap-windows", "wireguard", "wintun"}))
        return K::Tunnel;
    if (HasAny(f.description, {"hyper-v virtual", "virtualbox", "vmware virtual", "docker", "wsl"}))
        return K::VirtualBridge;
    if (f.ifType == kWireless)
        return K::Wireless;
    return f.ifType == kEthernet ? K::Wired : K::Unknown;
}

} // namespace cli::sys
