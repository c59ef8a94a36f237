// SPDX-License-Identifier: MIT
// A LAN of network namespaces for tests, built inside the private
// namespace of the test command: segments are bridges (each in a namespace
// of its own, like a switch), hosts are namespaces with one or more links
// into them, and the test's own namespace is the PC. Everything goes when
// the object goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class DevSim;

class NetnsLan
{
public:
    // Empty when a LAN can be built here; otherwise why not (for GTEST_SKIP).
    static std::string Unavailable();

    NetnsLan();
    ~NetnsLan();
    NetnsLan(const NetnsLan &) = delete;
    NetnsLan &operator=(const NetnsLan &) = delete;

    // A new bridge; returns its number.
    int AddSegment();
    // A link from the PC (this namespace) into a segment, with an address
    // such as "10.61.0.1/24" (empty: none); returns the interface name.
    std::string AddPcLink(int segment, const std::string &cidr);
    // A host namespace with one link "eth0" into a segment; `cidr` and
    // `gateway` may be empty (a device that sets its own address). Returns
    // the namespace name.
    std::string AddHost(int segment, const std::string &cidr, const std::string &gateway = "");
    // Another link of an existing host into a segment; returns its name
    // inside the host ("eth1", ...).
    std::string AddLink(const std::string &host, int segment, const std::string &cidr);

    // An office segment with the PC at OFFICE.1 and a router at OFFICE.254,
    // whose second link holds SITE.254 on a site segment that no broadcast
    // of the PC reaches; the PC routes SITE.0/24 through it. OFFICE and
    // SITE are /24 prefixes such as "10.71.0". `pc` is empty when it could
    // not be built.
    struct RoutedSite
    {
        int office = -1, site = -1;
        std::string pc, router;
    };
    RoutedSite AddRoutedSite(const std::string &office, const std::string &site);

    // Runs a command inside a host namespace (or here when host is empty);
    // true when it exited 0.
    bool Run(const std::string &host, const std::string &command) const;
    // The prefix that runs a program inside a host namespace.
    static std::vector<std::string> Inside(const std::string &host);

private:
    std::string Name(const std::string &kind, int n) const;

    std::string tag_;
    int next_ = 0;
    std::vector<std::string> namespaces_;
    std::vector<std::string> pcLinks_;
    std::vector<std::string> switches_;
    std::vector<std::pair<std::string, int>> links_; // host, count of links
};

// One simulated device as a LAN holds it: a host namespace of its own on a
// segment, its card's hardware address the device's MAC, the simulator
// holding the device's address ("10.61.0.10/24") and default route there,
// on the real TVP and TFTP ports.
struct LanDevice
{
    std::string name, mac, cidr, gateway;
    std::string type = "Serial Server";
    bool answersProbes = true; // false: firmware that keeps silent to unicast probes
};
// The started simulator (nullptr when it did not start); its JSON goes to
// `dir`. `simulatorArgs` are more of its options, faults such as "--loss".
std::unique_ptr<DevSim> StartLanDevice(NetnsLan &lan, int segment, const LanDevice &device, const std::string &dir,
                                       const std::vector<std::string> &simulatorArgs = {});

} // namespace testsupport
