// SPDX-License-Identifier: MIT
// The kind of an interface from what Linux's sysfs and Windows's adapter
// list tell of it, and the watch's event lines.
#include "readings.h"
#include "watch_command.h"

#include <gtest/gtest.h>

using cli::sys::ClassifyLinux;
using cli::sys::ClassifyWindows;
using K = site::InterfaceKind;

namespace {

TEST(InterfaceKind, LinuxFromSysfs)
{
    using F = cli::sys::LinuxLinkFacts;
    auto facts = [](const char *name, auto change) {
        F f;
        f.name = name;
        change(f);
        return f;
    };
    const struct
    {
        F facts;
        K kind;
    } cases[] = {
        {facts("eth0", [](F &f) { f.physical = true; }), K::Wired},
        {facts("wlan0", [](F &f) { f.physical = f.wireless = true; }), K::Wireless},
        {facts("wlp2s0", [](F &f) { f.physical = true, f.devtype = "wlan"; }), K::Wireless},
        {facts("lo", [](F &f) { f.type = 772; }), K::Loopback},
        {facts("br0", [](F &f) { f.bridge = f.physicalPort = true; }), K::Bridge},
        {facts("br0", [](F &f) { f.bridge = true; }), K::VirtualBridge},
        {facts("docker0", [](F &f) { f.bridge = f.physicalPort = true; }), K::VirtualBridge},
        {facts("virbr0", [](F &f) { f.devtype = "bridge"; }), K::VirtualBridge},
        {facts("tun0", [](F &f) { f.type = 65534, f.tunFlags = 0x1001; }), K::Tunnel},
        {facts("tap0", [](F &f) { f.tunFlags = 0x1002; }), K::VirtualLink},
        {facts("wg0", [](F &f) { f.type = 65534, f.devtype = "wireguard"; }), K::Tunnel},
        {facts("gre1", [](F &f) { f.type = 778; }), K::Tunnel},
        {facts("eth0.10", [](F &f) { f.devtype = "vlan", f.physicalLower = true; }), K::Wired},
        {facts("veth1a2b", [](F &) {}), K::VirtualLink},
        {facts("pc1", [](F &f) { f.known = false; }), K::Unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClassifyLinux(c.facts), c.kind) << c.facts.name << " " << site::KindText(c.kind);
}

TEST(InterfaceKind, WindowsFromTheAdapterList)
{
    const struct
    {
        unsigned long type;
        const char *description;
        K kind;
    } cases[] = {
        {6, "Intel(R) Ethernet Connection I219-LM", K::Wired},
        {71, "Intel(R) Wi-Fi 6 AX201 160MHz", K::Wireless},
        {24, "Software Loopback Interface 1", K::Loopback},
        {131, "Teredo Tunneling Pseudo-Interface", K::Tunnel},
        {6, "TAP-Windows Adapter V9", K::Tunnel},
        {53, "WireGuard Tunnel", K::Tunnel},
        {6, "Hyper-V Virtual Ethernet Adapter", K::VirtualBridge},
        {6, "VirtualBox Host-Only Ethernet Adapter", K::VirtualBridge},
        {144, "IEEE 1394 Net Adapter", K::Unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClassifyWindows({c.type, c.description}), c.kind) << c.description;
}

TEST(WatchLine, TimeFirstInUtcThenTheEvent)
{
    site::WatchEvent e;
    e.kind = site::WatchEventKind::Disappeared;
    e.time = site::WallClock::time_point{} + std::chrono::milliseconds(1714557600123); // 2024-05-01 10:00:00.123
    e.device = {"02:00:00:00:00:01", "Door", "I/O", "10.0.0.5", "", "eth0 (10.0.0.1)", false};
    EXPECT_EQ(cli::EventLine(e, false),
              "2024-05-01T10:00:00.123Z disappeared 02:00:00:00:00:01 (Door) I/O at 10.0.0.5 on eth0 (10.0.0.1)");
    EXPECT_EQ(cli::EventLine(e, true),
              R"j({"time":"2024-05-01T10:00:00.123Z","event":"disappeared","id":"02:00:00:00:00:01","name":"Door",)j"
              R"j("type":"I/O","ip":"10.0.0.5","interface":"eth0 (10.0.0.1)","reachable":false})j");
}

} // namespace
