// netscry-cli across a router: the PC (this test's namespace) reaches the
// devices' subnet only through a router namespace, so no broadcast of the
// PC reaches them and no broadcast answer of theirs reaches the PC.
#include "cli_run.h"
#include "devsim_process.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

using clitest::Result;
using clitest::RunCli;
using nlohmann::json;

namespace {

int Shell(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

const char *kDevices = R"({"devices": [
  {"name": "Remote Gateway", "type": "I/O Gateway", "mac": "02:00:00:00:02:01", "ip": "10.72.0.20",
   "mask": "255.255.255.0", "gateway": "10.72.0.254"},
  {"name": "Remote Bridge", "type": "Wireless Bridge", "mac": "02:00:00:00:02:02", "ip": "10.72.0.21",
   "mask": "255.255.255.0", "gateway": "10.72.0.254"}
]})";

class CliAcrossRouter : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        if (geteuid() != 0 || Shell("ip -V") != 0)
            GTEST_SKIP() << "needs root and the ip tool to build a routed LAN of namespaces";
        const std::string id = std::to_string(getpid());
        router_ = "clirt" + id;
        site_ = "clisite" + id;
        pc_ = "cpc" + id;
        if (Shell("ip netns add " + router_) != 0 || Shell("ip netns add " + site_) != 0)
            GTEST_SKIP() << "not permitted to create network namespaces here";
        created_ = true;
        const std::string r = "ip -n " + router_ + " ", s = "ip -n " + site_ + " ";
        // PC 10.71.0.1 -- 10.71.0.254 router 10.72.0.254 -- site 10.72.0.0/24
        const bool ok =
            Shell("ip link add " + pc_ + " type veth peer name topc netns " + router_) == 0 &&
            Shell("ip addr add 10.71.0.1/24 dev " + pc_) == 0 && Shell("ip link set " + pc_ + " up") == 0 &&
            Shell("ip route add 10.72.0.0/24 via 10.71.0.254") == 0 && Shell(r + "link set lo up") == 0 &&
            Shell(r + "addr add 10.71.0.254/24 dev topc") == 0 && Shell(r + "link set topc up") == 0 &&
            Shell(r + "link add tosite type veth peer name lan netns " + site_) == 0 &&
            Shell(r + "addr add 10.72.0.254/24 dev tosite") == 0 && Shell(r + "link set tosite up") == 0 &&
            Shell("ip netns exec " + router_ + " sysctl -qw net.ipv4.ip_forward=1") == 0 &&
            Shell(s + "link set lo up") == 0 && Shell(s + "link set lan up") == 0 &&
            // the site's namespace holds only the devices' own addresses
            Shell(s + "addr add 10.72.0.20/24 dev lan") == 0 && Shell(s + "addr add 10.72.0.21/24 dev lan") == 0 &&
            Shell(s + "route add default via 10.72.0.254") == 0;
        ASSERT_TRUE(ok) << "could not build the routed LAN";
        const std::string path = dir_.path() + "/site.json";
        std::ofstream(path) << kDevices;
        sim_ = std::make_unique<testsupport::DevSim>(
            std::vector<std::string>{"--json", path, "--interface", "lan", "--port", "30718", "--tftp-port", "6969"});
        sim_->RunInside({"ip", "netns", "exec", site_});
        ASSERT_TRUE(sim_->Start());
        env_ = {{"TVP_PORT", "30718"}, {"TVP_TFTP_PORT", "6969"}, {"TVP_INTERFACES", ""}};
    }
    void TearDown() override
    {
        sim_.reset();
        if (created_) {
            Shell("ip link del " + pc_);
            Shell("ip netns del " + router_);
            Shell("ip netns del " + site_);
        }
    }
    json CliJson(std::vector<std::string> args, int expectedExit = 0)
    {
        args.push_back("--json");
        Result r = RunCli(args, env_);
        EXPECT_EQ(r.exitCode, expectedExit) << r.err;
        try {
            return json::parse(r.out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out;
            return json();
        }
    }

    testsupport::TempDir dir_;
    std::string router_, site_, pc_;
    bool created_ = false;
    std::unique_ptr<testsupport::DevSim> sim_;
    std::map<std::string, std::string> env_;
};

TEST_F(CliAcrossRouter, BroadcastFindsNothingTargetFindsTheDevices)
{
    json broadcast = CliJson({"discover", "--interface", pc_, "--timeout", "1"});
    EXPECT_TRUE(broadcast.is_array() && broadcast.empty()) << broadcast.dump(1);

    json found = CliJson({"discover", "--interface", pc_, "--target", "10.72.0.0/24", "--rate", "2000",
                          "--timeout", "1"});
    ASSERT_EQ(found.size(), 2u) << found.dump(1);
    EXPECT_EQ(found[0]["name"], "Remote Bridge");
    EXPECT_EQ(found[0]["ip"], "10.72.0.21");
    EXPECT_EQ(found[1]["ip"], "10.72.0.20");
    for (const auto &d : found) {
        EXPECT_EQ(d["interface"], pc_ + " (10.71.0.1)");
        EXPECT_EQ(d["reachable"], true) << "it answered at its own address";
    }
    // the sweep asked the 254 host addresses, each once; only the devices answered
    size_t asked = 0, answered = 0;
    for (const auto &line : sim_->LogLines()) {
        if (line.find("] discover txid") == std::string::npos)
            continue;
        EXPECT_EQ(line.find("10.72.0.255"), std::string::npos) << line;
        answered += line.find("answered by") != std::string::npos;
    }
    EXPECT_EQ(answered, 2u);
    (void)asked;
}

TEST_F(CliAcrossRouter, UpgradeAndVerifyAcrossTheRouter)
{
    const std::string image = dir_.path() + "/fw.bin";
    std::ofstream(image, std::ios::binary) << std::string(20000, 'x');
    json results = CliJson({"upgrade", image, "10.72.0.20", "10.72.0.21", "--jobs", "2", "--verify",
                            "--verify-timeout", "5", "--interface", pc_});
    ASSERT_EQ(results.size(), 2u) << results.dump(1);
    for (const auto &r : results) {
        EXPECT_EQ(r["ok"], true) << r.dump();
        EXPECT_EQ(r["answers"], true) << r.dump();
    }
    ASSERT_TRUE(sim_->WaitForLine("10.72.0.21 received"));
}

} // namespace
