// SPDX-License-Identifier: MIT
// The doctor's findings from facts: one PC per case, as the readings and
// the library would describe it, and the findings it must lead to.
#include "doctor.h"

#include <gtest/gtest.h>

#include <functional>

using namespace site;

namespace {

constexpr uint32_t kMask24 = 0xffffff00u;

DoctorInterface Card(const std::string &name, uint32_t address, uint32_t answers = 0, uint32_t devices = 0)
{
    DoctorInterface i;
    i.name = name;
    i.up = i.broadcast = true;
    i.kind = InterfaceKind::Wired;
    i.addresses = {{address, kMask24}};
    i.discovers = 5;
    i.bytesSent = 560;
    i.answers = answers;
    i.devices = devices;
    return i;
}

DoctorInterface Unused(const std::string &name, InterfaceUse use, const std::string &why)
{
    DoctorInterface i;
    i.name = name;
    i.use = use;
    i.notUsedWhy = why;
    i.kind = InterfaceKind::Wired;
    return i;
}

DoctorDevice Device(const std::string &id, const std::string &ip, const std::string &iface)
{
    return {id, "Dev " + id.substr(15), ip, iface, true};
}

// eth0 10.0.0.1/24 with three devices on it
DoctorFacts ThreeOnEth0()
{
    DoctorFacts f;
    f.interfaces = {Card("eth0", 0x0a000001, 15, 3)};
    for (const char *n : {"1", "2", "3"})
        f.devices.push_back(
            Device(std::string("02:00:00:00:00:0") + n, std::string("10.0.0.2") + n, "eth0 (10.0.0.1)"));
    f.rpFilterAll = 0;
    return f;
}

struct Case
{
    const char *what;
    std::function<void(DoctorFacts &)> change;
    std::vector<std::string> kinds; // every finding, in order
    std::string first;              // the first finding's text, when given
    int exitCode;
};

constexpr uint32_t kForeign = 0xc0a84d14; // 192.168.77.20

// One PC per case: ThreeOnEth0 changed as the case says.
const std::vector<Case> kCases = {
    {"all well", [](DoctorFacts &) {}, {"all-well"}, "3 devices answered on eth0; nothing blocks their answers", 0},
    {"a card down",
     [](DoctorFacts &f) { f.interfaces.push_back(Unused("eth1", InterfaceUse::Down, "is down")); },
     {"interface-down", "all-well"},
     "eth1 is down: plug in the cable or enable it",
     0},
    {"a card down and nothing found",
     [](DoctorFacts &f) {
         f.devices.clear();
         f.interfaces[0].answers = f.interfaces[0].devices = 0;
         f.interfaces.push_back(Unused("eth1", InterfaceUse::Down, "is down"));
     },
     {"interface-down", "nothing-found"},
     "eth1 is down: plug in the cable or enable it",
     1},
    {"a card without IPv4, one excluded, one that does not exist",
     [](DoctorFacts &f) {
         f.selection = "eth0,eth2,eth9";
         f.interfaces.push_back(Unused("eth2", InterfaceUse::NoIPv4, "has no IPv4 address"));
         f.interfaces.push_back(Unused("eth9", InterfaceUse::Missing, "does not exist"));
         DoctorInterface wlan = Card("wlan0", 0x0a010001);
         wlan.use = InterfaceUse::NotNamed;
         f.interfaces.push_back(wlan);
     },
     {"missing-interface", "no-ipv4", "not-named", "all-well"},
     "TVP_INTERFACES names eth9, which does not exist: correct the name",
     0},
    {"the ports of a bridge have no IPv4 address of their own, rightly",
     [](DoctorFacts &f) {
         f.interfaces.push_back(Unused("veth1a2b", InterfaceUse::NoIPv4, "has no IPv4 address"));
         f.interfaces.back().portOf = "docker0";
     },
     {"all-well"},
     "3 devices answered on eth0; nothing blocks their answers",
     0},
    {"no answer on the wireless card",
     [](DoctorFacts &f) { f.interfaces.push_back(Card("wlan0", 0x0a010001)); },
     {"no-answer", "all-well"},
     "no answer on wlan0; 3 devices answered on eth0",
     0},
    {"a container bridge heard nothing",
     [](DoctorFacts &f) {
         f.interfaces.push_back(Card("docker0", 0xac110001));
         f.interfaces.back().kind = InterfaceKind::VirtualBridge;
     },
     {"virtual-bridge", "all-well"},
     "no answer on docker0, a container or virtual bridge: devices are not expected there; search the card "
     "that faces their LAN",
     0},
    {"strict reverse-path filter drops a foreign device's answers (seen on the wire)",
     [](DoctorFacts &f) {
         f.interfaces[0].rpFilter = 1;
         f.defaultRoute = true;
         f.wire = std::vector<WireAnswer>{{"eth0", 0x0a000015}, {"eth0", kForeign}, {"eth0", kForeign}};
     },
     {"rp-filter"},
     "answers from 192.168.77.20 reach eth0 but its reverse-path filter (1) drops them: set "
     "net.ipv4.conf.eth0.rp_filter=2",
     1},
    {"the same without a route back: a loose filter drops them too",
     [](DoctorFacts &f) {
         f.rpFilterAll = 2;
         f.wire = std::vector<WireAnswer>{{"eth0", kForeign}};
     },
     {"rp-filter"},
     "answers from 192.168.77.20 reach eth0 but its reverse-path filter (2) drops them: set "
     "net.ipv4.conf.eth0.rp_filter=0 and net.ipv4.conf.all.rp_filter=0 (the PC has no route back to them; or "
     "give the devices addresses on eth0's subnet)",
     1},
    {"no capture, but the filter's counter rose",
     [](DoctorFacts &f) {
         f.interfaces[0].rpFilter = 1;
         f.rpFilterDrops = 4;
     },
     {"rp-filter"},
     "",
     1},
    {"a strict filter and no sign of drops: advice only",
     [](DoctorFacts &f) {
         f.interfaces[0].rpFilter = 1;
         f.rpFilterDrops = 0;
     },
     {"rp-filter-advice", "all-well"},
     "",
     0},
    {"the firewall's policy drops the answers",
     [](DoctorFacts &f) {
         f.linuxFirewall = LinuxFirewall{ParseIptablesSave("*filter\n:INPUT DROP [0:0]\n"), "", true, 32768, 60999};
     },
     {"firewall"},
     "the firewall drops the answers on eth0 (iptables table ip filter, chain INPUT: policy drop): let UDP from "
     "port 30718 in first, e.g. iptables -t filter -I INPUT -p udp --sport 30718 -j ACCEPT",
     1},
    {"firewall rules not readable",
     [](DoctorFacts &f) {
         f.linuxFirewall = LinuxFirewall{std::nullopt, "nft: Operation not permitted"};
     },
     {"firewall-unreadable", "all-well"},
     "could not read the firewall rules without privileges: run the diagnosis as root to check them (nft: "
     "Operation not permitted)",
     0},
    {"Windows: no inbound rule for the program",
     [](DoctorFacts &f) {
         f.interfaces[0].firewallProfile = "private";
         f.windowsFirewall = WindowsFirewall{"", {{"private", true}, {"public", true}}, false, {}, "C:\\n.exe"};
     },
     {"windows-rule"},
     "no inbound firewall rule lets the answers reach C:\\n.exe on eth0: add one: netsh advfirewall firewall add "
     "rule name=\"Netscry\" dir=in action=allow protocol=UDP program=\"C:\\n.exe\" profile=private,domain",
     1},
    {"Windows: the rule leaves out the public network the card is on",
     [](DoctorFacts &f) {
         f.interfaces[0].firewallProfile = "public";
         f.windowsFirewall =
             WindowsFirewall{"", {{"private", true}, {"public", true}}, true, {"private", "domain"}, "n.exe"};
     },
     {"public-network"},
     "",
     1},
    {"Windows: a card whose network is not named, no rule",
     [](DoctorFacts &f) {
         f.windowsFirewall = WindowsFirewall{"", {{"public", true}}, false, {}, "n.exe"};
     },
     {"windows-rule"},
     "",
     1},
    {"Windows: the rule covers the card's network",
     [](DoctorFacts &f) {
         f.interfaces[0].firewallProfile = "private";
         f.windowsFirewall = WindowsFirewall{"", {{"private", true}}, true, {"private"}, "n.exe"};
     },
     {"all-well"},
     "",
     0},
    {"two of the PC's cards on one LAN",
     [](DoctorFacts &f) { f.interfaces.push_back(Card("eth1", 0x0a500001, 15, 3)); },
     {"several-interfaces", "all-well"},
     "eth1 also hears 3 devices listed on eth0: two of the PC's cards are on one LAN; use one of them "
     "(TVP_INTERFACES=eth0) or give each card a LAN of its own",
     0},
    {"two devices on one address, one on a foreign subnet",
     [](DoctorFacts &f) {
         f.devices[1].ip = f.devices[0].ip;
         f.devices[2].ip = "192.168.77.20";
     },
     {"address-conflict", "foreign-subnet", "all-well"},
     "2 devices answer at 10.0.0.21 (02:00:00:00:00:01 Dev 01 and 02:00:00:00:00:02 Dev 02): give all but one "
     "another address (netscry-cli set ID --ip ... or auto-ip ID --force)",
     0},
    {"answers dropped by the library",
     [](DoctorFacts &f) {
         f.interfaces[0].late = 2;
         f.interfaces[0].impossible = 1;
     },
     {"dropped-late", "dropped-impossible", "all-well"},
     "",
     0},
    {"no card at all",
     [](DoctorFacts &f) {
         f.devices.clear();
         f.interfaces = {Unused("eth0", InterfaceUse::Down, "is down")};
     },
     {"no-interface", "interface-down"},
     "",
     1},
    {"nothing sent",
     [](DoctorFacts &f) {
         f.devices.clear();
         f.interfaces[0] = Card("eth0", 0x0a000001);
         f.interfaces[0].discovers = 0;
         f.interfaces[0].sendErrors = 5;
         f.interfaces[0].lastSendError = "Network is unreachable";
     },
     {"send-error", "nothing-found"},
     "no discovery could be sent on eth0 (Network is unreachable): check its link and address",
     1},
};

TEST(Doctor, FindingsComeMostLikelyCauseFirstWithWhatToDo)
{
    for (const auto &c : kCases) {
        DoctorFacts facts = ThreeOnEth0();
        c.change(facts);
        const DoctorReport report = Diagnose(facts);
        std::vector<std::string> kinds;
        std::string all;
        for (const auto &f : report.findings) {
            kinds.push_back(f.kind);
            all += "\n  " + f.text;
        }
        EXPECT_EQ(kinds, c.kinds) << c.what << all;
        if (!c.first.empty() && !report.findings.empty()) {
            EXPECT_EQ(report.findings[0].text, c.first) << c.what;
        }
        EXPECT_EQ(report.exitCode, c.exitCode) << c.what << all;
    }
}

TEST(Doctor, AnInterfaceLineSaysWhatTheCardIsAndWhatCameBack)
{
    DoctorFacts f = ThreeOnEth0();
    f.interfaces[0].rpFilter = 1;
    f.interfaces[0].late = 2;
    EXPECT_EQ(InterfaceLine(f, f.interfaces[0]),
              "eth0: wired, up, 10.0.0.1/24, broadcast; used: 5 Discovers (560 bytes) sent; 15 answers from 3 "
              "devices; dropped 2 late; rp_filter 1");
    EXPECT_EQ(InterfaceLine(f, Unused("eth1", InterfaceUse::Down, "is down")),
              "eth1: wired, down, no IPv4 address, no broadcast; not used: is down");
    DoctorInterface port = Unused("eth2", InterfaceUse::NoIPv4, "has no IPv4 address");
    port.portOf = "br0";
    EXPECT_EQ(InterfaceLine(f, port), "eth2: wired, down, a port of br0, no broadcast; not used: has no IPv4 address");
}

} // namespace
