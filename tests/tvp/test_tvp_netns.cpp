// SPDX-License-Identifier: MIT
// The library on a LAN that behaves like a real one: the PC (this test's
// namespace) has links into bridges; every device is a namespace of its
// own holding only its own address, one of them configured for another
// site; a plain host that is no device holds an ordinary address.
#include "devsim_process.h"
#include "netif.h"
#include "netns_lan.h"
#include "test_support.h"
#include "tvp.h"
#include "tvp_events.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>

using namespace tvptest;
namespace net = tvp::net;
namespace wire = tvp::wire;

namespace {

// The address the free-address rule tries first on an interface.
std::string FirstCandidate(const std::string &ifaceText, uint32_t own, const std::set<uint32_t> &taken)
{
    net::ChooseRequest r;
    r.own = own;
    r.mask = 0xffffff00u;
    r.seed = net::Fnv1a(ifaceText);
    r.taken = taken;
    auto c = net::Candidates(r, 0, 1);
    return c.empty() ? std::string() : wire::FormatDottedQuad(c[0]);
}

uint32_t Quad(const std::string &text)
{
    uint32_t a = 0;
    wire::ParseDottedQuad(text.c_str(), &a);
    return a;
}

std::string Output(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        std::array<char, 256> buffer;
        while (fgets(buffer.data(), buffer.size(), p))
            out += buffer.data();
        pclose(p);
    }
    return out;
}

class RealLan : public ::testing::Test
{
protected:
    static constexpr int kPort = 30718; // every device has its own stack: the real port

    void SetUp() override
    {
        if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        lan_ = std::make_unique<testsupport::NetnsLan>();
        segA_ = lan_->AddSegment();
        segB_ = lan_->AddSegment();
        pcA_ = lan_->AddPcLink(segA_, "10.61.0.1/24");
        pcB_ = lan_->AddPcLink(segB_, "10.62.0.1/24");
        ASSERT_FALSE(pcA_.empty());
        ASSERT_FALSE(pcB_.empty());
        onA_ = pcA_ + " (10.61.0.1)";
        onB_ = pcB_ + " (10.62.0.1)";
    }
    void TearDown() override
    {
        TVPCleanup();
        sims_.clear();
        lan_.reset();
    }

    void AddDevice(int segment, const testsupport::LanDevice &d)
    {
        auto sim = testsupport::StartLanDevice(*lan_, segment, d, dir_.path());
        ASSERT_TRUE(sim) << d.name;
        sims_.push_back(std::move(sim));
    }

    void UseLibrary()
    {
        setenv("TVP_INTERFACES", (pcA_ + "," + pcB_).c_str(), 1);
        setenv("TVP_PORT", std::to_string(kPort).c_str(), 1);
        TVPCleanup();
        Collect();
    }

    std::map<std::string, Event> DiscoverAll(size_t expected)
    {
        Collect();
        EXPECT_EQ(TVPDiscover(), 0);
        EXPECT_TRUE(PumpUntil([&] { return EventsOf(TVPEventDeviceFound).size() >= expected; }));
        PumpFor(200); // nobody else answers
        std::map<std::string, Event> byId;
        for (const auto &e : EventsOf(TVPEventDeviceFound))
            byId[e.id] = e;
        return byId;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::NetnsLan> lan_;
    int segA_ = -1, segB_ = -1;
    std::string pcA_, pcB_, onA_, onB_;
    std::vector<std::unique_ptr<testsupport::DevSim>> sims_;
};

const testsupport::LanDevice kAlpha{"Alpha One", "02:0A:00:00:00:01", "10.61.0.10/24", ""};
const testsupport::LanDevice kStranger{"Stranger", "02:0A:00:00:00:03", "192.168.77.20/24", "192.168.77.1"};
const testsupport::LanDevice kBravo{"Bravo One", "02:0B:00:00:00:01", "10.62.0.10/24", ""};

TEST_F(RealLan, ForeignDeviceIsFoundReadAndReAddressedOntoThePcSubnet)
{
    // a plain host, no device, holds the address the choice would try first
    const std::string first = FirstCandidate(onA_, Quad("10.61.0.1"), {Quad("10.61.0.10"), Quad("192.168.77.20")});
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(lan_->AddHost(segA_, first + "/24").empty());
    AddDevice(segA_, kAlpha);
    AddDevice(segA_, kStranger);
    AddDevice(segB_, kBravo);
    UseLibrary();

    auto found = DiscoverAll(3);
    ASSERT_EQ(found.size(), 3u) << "the plain host is no device";
    EXPECT_EQ(found["02:0A:00:00:00:01"].iface, onA_);
    EXPECT_EQ(found["02:0A:00:00:00:03"].iface, onA_) << "the foreign device is found on its link";
    EXPECT_EQ(found["02:0A:00:00:00:03"].address, "192.168.77.20");
    EXPECT_EQ(found["02:0B:00:00:00:01"].iface, onB_);
    EXPECT_EQ(TVPPingDevice("10.61.0.10"), 1);
    EXPECT_EQ(TVPPingDevice("10.62.0.10"), 1);
    EXPECT_EQ(TVPPingDevice("192.168.77.20"), 0) << "not reachable where it is";

    uint8_t id[TVP_ID_SIZE];
    ASSERT_EQ(TVPMacToID("02:0a:00:00:00:03", id), 0);
    ASSERT_EQ(TVPGetIP(id), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventGetIPReply).empty(); }));
    const Event settings = EventsOf(TVPEventGetIPReply)[0];
    EXPECT_EQ(settings.address, "192.168.77.20");
    EXPECT_EQ(settings.mask, "255.255.255.0");
    EXPECT_EQ(settings.gateway, "192.168.77.1");
    EXPECT_EQ(settings.iface, onA_);

    char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
    ASSERT_EQ(TVPChooseIPAddress(found["02:0A:00:00:00:03"].iface.c_str(), address, mask, gateway), 1);
    EXPECT_EQ(std::string(address).rfind("10.61.0.", 0), 0u) << address;
    EXPECT_STRNE(address, first.c_str()) << "the plain host's address is taken";
    EXPECT_STRNE(address, "10.61.0.10");
    EXPECT_STRNE(address, "10.61.0.1");
    EXPECT_STREQ(mask, "255.255.255.0");
    EXPECT_STREQ(gateway, "");

    ASSERT_EQ(TVPSetIP(id, address, mask, gateway, 0), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(EventsOf(TVPEventSetIPReply)[0].address, address);

    found = DiscoverAll(3);
    EXPECT_EQ(found["02:0A:00:00:00:03"].address, address);
    EXPECT_EQ(found["02:0A:00:00:00:03"].iface, onA_);
    EXPECT_EQ(TVPPingDevice(address), 1) << "reachable at its new address";
}

TEST_F(RealLan, EachRequestIsAnsweredOnceOnEachLink)
{
    AddDevice(segA_, kAlpha);
    AddDevice(segA_, kStranger);
    UseLibrary();
    Collect();
    ASSERT_EQ(TVPDiscover(), 0);
    ASSERT_TRUE(PumpUntil([&] { return EventsOf(TVPEventDeviceFound).size() >= 2; }));
    PumpFor(300);
    EXPECT_EQ(EventsOf(TVPEventDeviceFound).size(), 2u) << "one answer per device and request";
}

// Runs the choice in a process of its own, with or without CAP_NET_RAW.
std::string ChooseInProcess(const std::string &ifaceText, bool raw)
{
    const std::string helper = testsupport::BinDir() + "/tvp_choose_helper '" + ifaceText + "' 30718";
    return Output(raw ? helper : "setpriv --inh-caps=-net_raw --bounding-set=-net_raw " + helper);
}

TEST_F(RealLan, APlainHostsAddressIsNeverChosenWithOrWithoutRawSockets)
{
    if (Output("setpriv --bounding-set=-net_raw true && echo ok").find("ok") == std::string::npos)
        GTEST_SKIP() << "setpriv can't drop CAP_NET_RAW here";
    const std::string first = FirstCandidate(onA_, Quad("10.61.0.1"), {});
    ASSERT_FALSE(lan_->AddHost(segA_, first + "/24").empty());
    for (bool raw : {true, false}) {
        // the kernel's neighbour table must learn nothing from an earlier run
        lan_->Run("", "ip neigh flush dev " + pcA_);
        const std::string out = ChooseInProcess(onA_, raw);
        ASSERT_FALSE(out.empty()) << (raw ? "with" : "without") << " CAP_NET_RAW: no address chosen";
        EXPECT_EQ(out.rfind("10.61.0.", 0), 0u) << out;
        EXPECT_EQ(out.find(first + " "), std::string::npos)
            << (raw ? "with" : "without") << " CAP_NET_RAW the plain host's " << first << " was chosen";
    }
}

// Two of the PC's cards on one switch, each with a subnet of its own: the
// device answers every request on both. Whichever card hears it first, it
// is listed, read and re-addressed on the card whose subnet holds it.
TEST(TwoCardsOnOneSwitch, ADeviceIsListedReadAndReAddressedOnTheCardOfItsSubnet)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const testsupport::LanDevice device{"Dual Seen", "02:0C:00:00:00:01", "10.80.0.20/24", ""};
    for (const bool homeFirst : {true, false}) {
        SCOPED_TRACE(homeFirst ? "the device's card first" : "the other card first");
        testsupport::TempDir dir;
        testsupport::NetnsLan lan;
        const int sw = lan.AddSegment();
        std::string home, other;
        (homeFirst ? home : other) = lan.AddPcLink(sw, homeFirst ? "10.80.0.1/24" : "10.81.0.1/24");
        (homeFirst ? other : home) = lan.AddPcLink(sw, homeFirst ? "10.81.0.1/24" : "10.80.0.1/24");
        ASSERT_FALSE(home.empty() || other.empty());
        // as a desktop has it: loose reverse-path filter, so both cards hear every answer
        for (const auto &pc : {home, other})
            ASSERT_TRUE(lan.Run("", "sysctl -qw net.ipv4.conf." + pc + ".rp_filter=2"));
        auto sim = testsupport::StartLanDevice(lan, sw, device, dir.path());
        ASSERT_TRUE(sim);
        const std::string first = homeFirst ? home : other, second = homeFirst ? other : home;
        setenv("TVP_INTERFACES", (first + "," + second).c_str(), 1);
        setenv("TVP_PORT", "30718", 1);
        TVPCleanup();
        Collect();
        const std::string onHome = home + " (10.80.0.1)";

        // read before any discovery, then listed
        uint8_t id[TVP_ID_SIZE];
        ASSERT_EQ(TVPMacToID(device.mac.c_str(), id), 0);
        ASSERT_EQ(TVPGetIP(id), 0);
        ASSERT_TRUE(PumpUntil([] { return !EventsOf(TVPEventGetIPReply).empty(); }));
        EXPECT_EQ(EventsOf(TVPEventGetIPReply)[0].iface, onHome);
        ASSERT_EQ(TVPDiscover(), 0);
        ASSERT_TRUE(PumpUntil([] { return !EventsOf(TVPEventDeviceFound).empty(); }));
        PumpFor(300);
        for (const auto &e : EventsOf(TVPEventDeviceFound))
            EXPECT_EQ(e.iface, onHome) << "every copy: the program lists the first";

        char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
        ASSERT_EQ(TVPChooseIPAddress(EventsOf(TVPEventDeviceFound)[0].iface.c_str(), address, mask, gateway), 1);
        EXPECT_EQ(std::string(address).rfind("10.80.0.", 0), 0u) << address << ": off the subnet that reached it";
        ASSERT_EQ(TVPSetIP(id, address, mask, gateway, 0), 0);
        ASSERT_TRUE(PumpUntil([] { return !EventsOf(TVPEventSetIPReply).empty(); }));
        Collect();
        ASSERT_EQ(TVPDiscover(), 0);
        ASSERT_TRUE(PumpUntil([] { return !EventsOf(TVPEventDeviceFound).empty(); }));
        EXPECT_EQ(EventsOf(TVPEventDeviceFound)[0].address, address);
        EXPECT_EQ(EventsOf(TVPEventDeviceFound)[0].iface, onHome);
        EXPECT_EQ(TVPPingDevice(address), 1);
        TVPCleanup();
    }
}

TEST_F(RealLan, WithoutASelectionEveryBroadcastInterfaceButLoopbackIsUsed)
{
    // the selection itself, without starting the library on every interface
    auto names = [](const std::vector<net::Interface> &list) {
        std::set<std::string> out;
        for (const auto &i : list)
            out.insert(i.name);
        return out;
    };
    auto all = names(net::ListInterfaces({}));
    EXPECT_EQ(all.count(pcA_), 1u);
    EXPECT_EQ(all.count(pcB_), 1u);
    EXPECT_EQ(all.count("lo"), 0u) << "loopback only when named";
    EXPECT_EQ(names(net::ListInterfaces({"lo", pcB_})), (std::set<std::string>{"lo", pcB_}));
    lan_->Run("", "ip link set " + pcB_ + " down");
    EXPECT_EQ(names(net::ListInterfaces({pcA_, pcB_})), std::set<std::string>{pcA_}) << "a link that is down";
}

} // namespace
