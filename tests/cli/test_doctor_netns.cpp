// SPDX-License-Identifier: MIT
// netscry-cli doctor on LANs of namespaces, one LAN per finding: devices
// each in a namespace of its own holding only its own address, a plain
// host on every LAN, the PC (this test's namespace) with the cards the
// case needs. Each case asserts the finding's text and the exit code.
#include "cli_run.h"
#include "devsim_process.h"
#include "netns_lan.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <functional>

using clitest::Result;
using clitest::RunCli;
using nlohmann::json;

namespace {

// The doctor reads the PC's cards from sysfs, which shows the namespace it
// was mounted in: a mount of its own for the one it runs in.
const std::vector<std::string> kOwnSysfs = {"unshare", "--mount", "sh", "-c",
                                            "mount -t sysfs sysfs /sys && exec \"$0\" \"$@\""};
// The same without the capabilities to capture (CAP_NET_RAW) or to read the
// firewall (CAP_NET_ADMIN), as an ordinary user runs it.
std::vector<std::string> Unprivileged()
{
    auto p = kOwnSysfs;
    p.back() = "mount -t sysfs sysfs /sys && exec setpriv --inh-caps=-net_raw,-net_admin "
               "--bounding-set=-net_raw,-net_admin \"$0\" \"$@\"";
    return p;
}

std::string Output(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, p))
            out += buffer;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// Runs a shell command when it goes: what a case changed in the PC's namespace.
struct Undo
{
    std::string command;
    ~Undo()
    {
        if (!command.empty())
            std::system((command + " >/dev/null 2>&1").c_str());
    }
};

class Doctor : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        lan_ = std::make_unique<testsupport::NetnsLan>();
        segment_ = lan_->AddSegment();
        ASSERT_GE(segment_, 0);
    }
    void TearDown() override
    {
        sims_.clear();
        lan_.reset();
    }
    // A PC card into the LAN, and a plain host there.
    std::string Card(const std::string &cidr, const std::string &host = "")
    {
        const std::string name = lan_->AddPcLink(segment_, cidr);
        EXPECT_FALSE(name.empty());
        if (!host.empty()) {
            EXPECT_FALSE(lan_->AddHost(segment_, host).empty());
        }
        return name;
    }
    void Device(const std::string &mac, const std::string &cidr)
    {
        auto sim = testsupport::StartLanDevice(*lan_, segment_, {"Dev " + mac.substr(15), mac, cidr, ""}, dir_.path());
        ASSERT_TRUE(sim) << mac;
        sims_.push_back(std::move(sim));
    }
    // The doctor's JSON; its exit code in *code.
    json Run(int *code, const std::vector<std::string> &prefix = kOwnSysfs)
    {
        Result r = RunCli({"doctor", "--json"}, {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", ""}}, 60000, prefix);
        *code = r.exitCode;
        try {
            return json::parse(r.out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << r.err;
            return json();
        }
    }
    // The text of the finding of `kind`; every finding in *all.
    static std::string Finding(const json &report, const std::string &kind, std::string *all = nullptr)
    {
        std::string text, every;
        for (const auto &f : report.value("findings", json::array())) {
            every += "\n  " + f.value("kind", "") + ": " + f.value("text", "");
            if (f.value("kind", "") == kind && text.empty())
                text = f.value("text", "");
        }
        if (all)
            *all = every;
        return text;
    }
    void Expect(const std::string &kind, const std::string &text, int exitCode,
                const std::vector<std::string> &prefix = kOwnSysfs)
    {
        int code = -1;
        const json report = Run(&code, prefix);
        std::string all;
        EXPECT_EQ(Finding(report, kind, &all).find(text), 0u) << "wanted " << kind << ": " << text << all;
        EXPECT_EQ(code, exitCode) << all;
        EXPECT_EQ(report.value("exit", -1), exitCode);
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::NetnsLan> lan_;
    int segment_ = -1;
    std::vector<std::unique_ptr<testsupport::DevSim>> sims_;
};

TEST_F(Doctor, ACardThatIsDown)
{
    Card("10.120.0.1/24", "10.120.0.9/24");
    Device("02:0D:0C:00:00:01", "10.120.0.20/24");
    const std::string down = Card("10.121.0.1/24");
    ASSERT_TRUE(lan_->Run("", "ip link set " + down + " down"));
    Expect("interface-down", down + " is down: plug in the cable or enable it", 0);
}

TEST_F(Doctor, ACardWithoutIPv4)
{
    Card("10.122.0.1/24", "10.122.0.9/24");
    Device("02:0D:0C:00:00:02", "10.122.0.20/24");
    const std::string bare = Card("");
    Expect("no-ipv4", bare + " has no IPv4 address: give it one on the devices' subnet", 0);
}

// A container manager's bridge on the PC: an address, a link into one
// container, no device.
TEST_F(Doctor, AContainerBridgeWithNoDevice)
{
    Card("10.123.0.1/24", "10.123.0.9/24");
    Device("02:0D:0C:00:00:03", "10.123.0.20/24");
    const std::string bridge = "br-" + std::to_string(getpid() % 100000), container = "ctr" + std::to_string(getpid());
    Undo gone{"ip link del " + bridge + "; ip netns del " + container};
    ASSERT_TRUE(lan_->Run("", "ip link add " + bridge + " type bridge"));
    ASSERT_TRUE(lan_->Run("", "ip netns add " + container));
    ASSERT_TRUE(lan_->Run("", "ip link add v" + bridge + " type veth peer name eth0 netns " + container));
    ASSERT_TRUE(lan_->Run("", "ip link set v" + bridge + " master " + bridge + " up"));
    ASSERT_TRUE(lan_->Run(container, "ip addr add 172.31.0.2/24 dev eth0"));
    ASSERT_TRUE(lan_->Run(container, "ip link set eth0 up"));
    ASSERT_TRUE(lan_->Run("", "ip addr add 172.31.0.1/24 dev " + bridge));
    ASSERT_TRUE(lan_->Run("", "ip link set " + bridge + " up"));
    Expect("virtual-bridge",
           "no answer on " + bridge +
               ", a container or virtual bridge: devices are not expected there; search the card that faces their LAN",
           0);
    // the bridge's port has no address of its own, and needs none
    int code = -1;
    const json report = Run(&code);
    EXPECT_EQ(Finding(report, "no-ipv4"), "");
    std::string portOf;
    for (const auto &i : report.value("interfaces", json::array()))
        if (i.value("name", "") == "v" + bridge)
            portOf = i.value("port_of", "");
    EXPECT_EQ(portOf, bridge);
}

// A device configured for another site answers from its own address; the
// PC's strict filter drops that before the program sees it. Captured, the
// finding names the device; without the capture, the filter's counter.
TEST_F(Doctor, AStrictReversePathFilterDropsAForeignDevicesAnswers)
{
    const std::string pc = Card("10.124.0.1/24", "10.124.0.9/24");
    Device("02:0D:0C:00:00:04", "192.168.77.20/24");
    ASSERT_TRUE(lan_->Run("", "sysctl -qw net.ipv4.conf." + pc + ".rp_filter=1"));
    Expect("rp-filter", "answers from 192.168.77.20 reach " + pc + " but its reverse-path filter (", 1);
    int code = -1;
    const json report = Run(&code);
    EXPECT_NE(Finding(report, "rp-filter").find("net.ipv4.conf." + pc + ".rp_filter="), std::string::npos);
    Expect("rp-filter", "the reverse-path filter dropped ", 1, Unprivileged());

    Undo restore{"sysctl -qw net.ipv4.conf.all.rp_filter=" + Output("sysctl -n net.ipv4.conf.all.rp_filter")};
    ASSERT_TRUE(lan_->Run("", "sysctl -qw net.ipv4.conf." + pc + ".rp_filter=0 net.ipv4.conf.all.rp_filter=0"));
    Expect("foreign-subnet", "192.168.77.20 (Dev 04, 02:0D:0C:00:00:04) answered on " + pc, 0);
}

TEST_F(Doctor, AnNftablesRuleDroppingTheAnswers)
{
    if (std::system("nft --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nft is not installed (Debian: apt-get install nftables, as scripts/install-deps.sh does)";
    const std::string pc = Card("10.125.0.1/24", "10.125.0.9/24");
    Device("02:0D:0C:00:00:05", "10.125.0.20/24");
    const std::string table = "netscry" + std::to_string(getpid());
    Undo gone{"nft delete table inet " + table};
    ASSERT_TRUE(lan_->Run("", "nft add table inet " + table));
    ASSERT_TRUE(lan_->Run("", "nft 'add chain inet " + table + " input { type filter hook input priority 0; }'"));
    ASSERT_TRUE(lan_->Run("", "nft add rule inet " + table + " input udp sport 30718 drop"));
    Expect("firewall",
           "the firewall drops the answers on " + pc + " (nft table inet " + table +
               ", chain input: udp sport 30718 drop): let UDP from port 30718 in first, e.g. nft insert rule inet " +
               table + " input udp sport 30718 accept",
           1);
    Expect("firewall-unreadable", "could not read the firewall rules without privileges", 1, Unprivileged());
}

TEST_F(Doctor, TwoOfThePCsCardsOnOneLan)
{
    const std::string first = Card("10.126.0.1/24", "10.126.0.9/24"), second = Card("10.127.0.1/24");
    Device("02:0D:0C:00:00:06", "10.126.0.20/24");
    Expect("several-interfaces",
           second + " also hears 1 device listed on " + first +
               ": two of the PC's cards are on one LAN; use one of them (TVP_INTERFACES=" + first + ")",
           0);
}

TEST_F(Doctor, TwoDevicesOnOneAddress)
{
    Card("10.128.0.1/24", "10.128.0.9/24");
    Device("02:0D:0C:00:00:07", "10.128.0.50/24");
    Device("02:0D:0C:00:00:08", "10.128.0.50/24");
    Expect("address-conflict",
           "2 devices answer at 10.128.0.50 (02:0D:0C:00:00:07 Dev 07 and 02:0D:0C:00:00:08 Dev 08): give all but one "
           "another address",
           0);
}

} // namespace
