// SPDX-License-Identifier: MIT
#include "netns_lan.h"

#include "devsim_process.h"
#include "test_support.h"

#include <fstream>

#include <cstdlib>
#include <unistd.h>

namespace testsupport {

namespace {

bool Sh(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

std::string NetnsLan::Unavailable()
{
    if (!InPrivateNetns())
        return "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
    if (geteuid() != 0 || !Sh("ip -V"))
        return "needs root and the ip tool to build a LAN of namespaces";
    const std::string probe = "tvpprobe" + std::to_string(getpid());
    if (!Sh("ip netns add " + probe))
        return "not permitted to create network namespaces here";
    Sh("ip netns del " + probe);
    const std::string bridge = "tvpbr" + std::to_string(getpid() % 100000);
    if (!Sh("ip link add " + bridge + " type bridge"))
        return "the kernel has no bridge support here";
    Sh("ip link del " + bridge);
    return {};
}

NetnsLan::NetnsLan()
    : tag_(std::to_string(getpid() % 100000))
{}

NetnsLan::~NetnsLan()
{
    for (const auto &link : pcLinks_)
        Sh("ip link del " + link);
    // deleting a namespace deletes its links, and the far ends with them
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
        Sh("ip netns del " + *it);
}

std::string NetnsLan::Name(const std::string &kind, int n) const
{
    // interface names hold at most 15 characters
    return kind + tag_ + "x" + std::to_string(n);
}

int NetnsLan::AddSegment()
{
    const int n = next_++;
    const std::string ns = Name("sw", n);
    if (!Sh("ip netns add " + ns))
        return -1;
    namespaces_.push_back(ns);
    switches_.push_back(ns);
    Sh("ip -n " + ns + " link set lo up");
    Sh("ip -n " + ns + " link add br0 type bridge");
    // forward at once: no listening delay, no spanning tree
    Sh("ip -n " + ns + " link set br0 type bridge forward_delay 0 stp_state 0");
    Sh("ip -n " + ns + " link set br0 up");
    return int(switches_.size()) - 1;
}

std::string NetnsLan::AddPcLink(int segment, const std::string &cidr)
{
    const std::string sw = switches_.at(size_t(segment));
    const std::string pc = Name("pc", next_++);
    const std::string port = "p" + std::to_string(next_++);
    if (!Sh("ip link add " + pc + " type veth peer name " + port + " netns " + sw))
        return {};
    pcLinks_.push_back(pc);
    Sh("ip -n " + sw + " link set " + port + " master br0 up");
    if (!cidr.empty())
        Sh("ip addr add " + cidr + " dev " + pc);
    Sh("ip link set " + pc + " up");
    return pc;
}

std::string NetnsLan::AddHost(int segment, const std::string &cidr, const std::string &gateway)
{
    const std::string host = Name("h", next_++);
    if (!Sh("ip netns add " + host))
        return {};
    namespaces_.push_back(host);
    links_.emplace_back(host, 0);
    Sh("ip -n " + host + " link set lo up");
    if (AddLink(host, segment, cidr).empty())
        return {};
    if (!gateway.empty())
        Sh("ip -n " + host + " route add default via " + gateway);
    return host;
}

std::string NetnsLan::AddLink(const std::string &host, int segment, const std::string &cidr)
{
    int index = 0;
    for (auto &[name, count] : links_)
        if (name == host)
            index = count++;
    const std::string sw = switches_.at(size_t(segment));
    const std::string dev = "eth" + std::to_string(index);
    const std::string port = "p" + std::to_string(next_++);
    if (!Sh("ip -n " + sw + " link add " + port + " type veth peer name " + dev + " netns " + host))
        return {};
    Sh("ip -n " + sw + " link set " + port + " master br0 up");
    if (!cidr.empty())
        Sh("ip -n " + host + " addr add " + cidr + " dev " + dev);
    Sh("ip -n " + host + " link set " + dev + " up");
    return dev;
}

NetnsLan::RoutedSite NetnsLan::AddRoutedSite(const std::string &office, const std::string &site)
{
    RoutedSite r;
    r.office = AddSegment();
    r.site = AddSegment();
    const std::string router = AddHost(r.office, office + ".254/24");
    if (r.office < 0 || r.site < 0 || router.empty() || AddLink(router, r.site, site + ".254/24").empty() ||
        !Run(router, "sysctl -qw net.ipv4.ip_forward=1"))
        return r;
    const std::string pc = AddPcLink(r.office, office + ".1/24");
    if (pc.empty() || !Run("", "ip route add " + site + ".0/24 via " + office + ".254"))
        return r;
    r.pc = pc;
    r.router = router;
    return r;
}

bool NetnsLan::Run(const std::string &host, const std::string &command) const
{
    return Sh(host.empty() ? command : "ip netns exec " + host + " " + command);
}

std::vector<std::string> NetnsLan::Inside(const std::string &host)
{
    return {"ip", "netns", "exec", host};
}

std::unique_ptr<DevSim> StartLanDevice(NetnsLan &lan, int segment, const LanDevice &d, const std::string &dir,
                                       const std::vector<std::string> &simulatorArgs)
{
    const std::string host = lan.AddHost(segment, "");
    if (host.empty())
        return nullptr;
    // a device's ID is its card's hardware address, as the PC's neighbour table shows it
    lan.Run(host, "ip link set eth0 address " + d.mac);
    const std::string path = dir + "/" + host + ".json";
    const auto slash = d.cidr.find('/');
    std::ofstream(path) << R"({"devices": [{"name": ")" << d.name << R"(", "type": ")" << d.type << R"(", "mac": ")"
                        << d.mac << R"(", "ip": ")" << d.cidr.substr(0, slash) << R"(", "mask": "255.255.255.0")"
                        << (d.gateway.empty() ? "" : R"(, "gateway": ")" + d.gateway + "\"")
                        << (d.answersProbes ? "" : R"(, "answersProbes": false)") << "}]}";
    std::vector<std::string> args{"--json", path,    "--interface", "eth0", "--own-address",
                                  "--port", "30718", "--tftp-port", "69"};
    args.insert(args.end(), simulatorArgs.begin(), simulatorArgs.end());
    auto sim = std::make_unique<DevSim>(args);
    sim->RunInside(NetnsLan::Inside(host));
    if (!sim->Start())
        return nullptr;
    return sim;
}

} // namespace testsupport
