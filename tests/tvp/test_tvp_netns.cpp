// A LAN in network namespaces: the PC (this test's namespace) has two
// interfaces on two subnets; behind each a simulator plays the devices of
// that link, one of them on a foreign subnet.
#include "devsim_process.h"
#include "netif.h"
#include "test_support.h"
#include "tvp.h"
#include "tvp_events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

using namespace tvptest;

namespace {

int Shell(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

class NetnsLan : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        if (geteuid() != 0 || Shell("ip -V") != 0)
            GTEST_SKIP() << "needs root and the ip tool to build a LAN of namespaces";
        const std::string id = std::to_string(getpid());
        nsA_ = "tvplanA" + id;
        nsB_ = "tvplanB" + id;
        pcA_ = "pa" + id;
        pcB_ = "pb" + id;
        if (Shell("ip netns add " + nsA_) != 0 || Shell("ip netns add " + nsB_) != 0)
            GTEST_SKIP() << "not permitted to create network namespaces here";
        created_ = true;
        ASSERT_TRUE(Link(pcA_, nsA_, "10.61.0.1/24", "10.61.0.254/24"));
        ASSERT_TRUE(Link(pcB_, nsB_, "10.62.0.1/24", "10.62.0.254/24"));
    }
    void TearDown() override
    {
        TVPCleanup();
        simA_.reset();
        simB_.reset();
        if (created_) {
            Shell("ip netns del " + nsA_);
            Shell("ip netns del " + nsB_);
        }
    }

    // A veth pair from this namespace into `ns`. The namespace answers ARP
    // and takes packets for every address of the subnet but the PC's, so the
    // simulator hears probes for whatever address a device is given.
    bool Link(const std::string &pc, const std::string &ns, const std::string &pcAddress, const std::string &lanAddress)
    {
        const std::string in = "ip -n " + ns + " ";
        std::string net = pcAddress.substr(0, pcAddress.rfind('.'));
        bool ok = Shell("ip link add " + pc + " type veth peer name lan netns " + ns) == 0 &&
                  Shell("ip addr add " + pcAddress + " dev " + pc) == 0 && Shell("ip link set " + pc + " up") == 0 &&
                  Shell(in + "link set lo up") == 0 && Shell(in + "link set lan up") == 0 &&
                  Shell(in + "addr add " + lanAddress + " dev lan") == 0;
        for (const char *range : {".2/31", ".4/30", ".8/29", ".16/28", ".32/27", ".64/26", ".128/25"})
            ok = ok && Shell(in + "route add local " + net + range + " dev lan table local") == 0;
        return ok;
    }

    std::unique_ptr<testsupport::DevSim> StartSim(const std::string &ns, const std::string &json, uint16_t port)
    {
        std::string path = dir_.path() + "/" + ns + ".json";
        std::ofstream(path) << json;
        auto sim = std::make_unique<testsupport::DevSim>(std::vector<std::string>{
            "--json", path, "--interface", "lan", "--port", std::to_string(port)});
        sim->RunInside({"ip", "netns", "exec", ns});
        EXPECT_TRUE(sim->Start());
        return sim;
    }

    std::map<std::string, Event> DiscoverAll(size_t expected)
    {
        Collect();
        EXPECT_EQ(TVPDiscover(), 0);
        EXPECT_TRUE(PumpUntil([&] { return EventsOf(TVPEventDeviceFound).size() >= expected; }));
        std::map<std::string, Event> byId;
        for (const auto &e : EventsOf(TVPEventDeviceFound))
            byId[e.id] = e;
        return byId;
    }

    testsupport::TempDir dir_;
    std::string nsA_, nsB_, pcA_, pcB_;
    bool created_ = false;
    std::unique_ptr<testsupport::DevSim> simA_, simB_;
};

const char *kLanA = R"({"devices": [
  {"name": "Alpha One", "type": "I/O Gateway", "mac": "02:0A:00:00:00:01", "ip": "10.61.0.10", "mask": "255.255.255.0"},
  {"name": "Alpha Two", "type": "Serial Server", "mac": "02:0A:00:00:00:02", "ip": "10.61.0.11", "mask": "255.255.255.0"},
  {"name": "Stranger", "type": "Wireless Bridge", "mac": "02:0A:00:00:00:03", "ip": "192.168.77.20",
   "mask": "255.255.255.0", "gateway": "192.168.77.1"}]})";
const char *kLanB = R"({"devices": [
  {"name": "Bravo One", "type": "I/O Gateway", "mac": "02:0B:00:00:00:01", "ip": "10.62.0.10", "mask": "255.255.255.0"}]})";

TEST_F(NetnsLan, DiscoveryNamesTheInterfaceOfEachLinkAndAutoIPReachesTheStranger)
{
    simA_ = StartSim(nsA_, kLanA, 0);
    ASSERT_NE(simA_->Port(), 0);
    simB_ = StartSim(nsB_, kLanB, simA_->Port());
    setenv("TVP_INTERFACES", (pcA_ + "," + pcB_).c_str(), 1);
    setenv("TVP_PORT", std::to_string(simA_->Port()).c_str(), 1);
    TVPCleanup();

    auto found = DiscoverAll(4);
    ASSERT_EQ(found.size(), 4u);
    const std::string onA = pcA_ + " (10.61.0.1)", onB = pcB_ + " (10.62.0.1)";
    EXPECT_EQ(found["02:0A:00:00:00:01"].iface, onA);
    EXPECT_EQ(found["02:0A:00:00:00:02"].iface, onA);
    EXPECT_EQ(found["02:0A:00:00:00:03"].iface, onA) << "the foreign device is found on its link";
    EXPECT_EQ(found["02:0B:00:00:00:01"].iface, onB);
    EXPECT_EQ(TVPPingDevice("10.61.0.10"), 1);
    EXPECT_EQ(TVPPingDevice("10.62.0.10"), 1);
    EXPECT_EQ(TVPPingDevice("192.168.77.20"), 0);

    char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
    ASSERT_EQ(TVPChooseIPAddress(found["02:0A:00:00:00:03"].iface.c_str(), address, mask, gateway), 1);
    EXPECT_EQ(std::string(address).rfind("10.61.0.", 0), 0u) << address;
    EXPECT_STRNE(address, "10.61.0.10");
    EXPECT_STRNE(address, "10.61.0.11");
    EXPECT_STREQ(mask, "255.255.255.0");
    EXPECT_STREQ(gateway, "");
    uint8_t id[TVP_ID_SIZE];
    ASSERT_EQ(TVPMacToID("02:0a:00:00:00:03", id), 0);
    ASSERT_EQ(TVPSetIP(id, address, mask, gateway, 0), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(TVPPingDevice(address), 1) << "the stranger answers at its new address";

    found = DiscoverAll(4);
    EXPECT_EQ(found["02:0A:00:00:00:03"].address, address);
    EXPECT_EQ(found["02:0A:00:00:00:03"].iface, onA);
}

TEST_F(NetnsLan, WithoutASelectionEveryBroadcastInterfaceButLoopbackIsUsed)
{
    // the selection itself, without starting the library on every interface
    auto names = [](const std::vector<tvp::net::Interface> &list) {
        std::set<std::string> out;
        for (const auto &i : list)
            out.insert(i.name);
        return out;
    };
    auto all = names(tvp::net::ListInterfaces({}));
    EXPECT_EQ(all.count(pcA_), 1u);
    EXPECT_EQ(all.count(pcB_), 1u);
    EXPECT_EQ(all.count("lo"), 0u) << "loopback only when named";
    EXPECT_EQ(names(tvp::net::ListInterfaces({"lo", pcB_})), (std::set<std::string>{"lo", pcB_}));
    Shell("ip link set " + pcB_ + " down");
    EXPECT_EQ(names(tvp::net::ListInterfaces({pcA_, pcB_})), std::set<std::string>{pcA_}) << "a link that is down";
}

} // namespace
