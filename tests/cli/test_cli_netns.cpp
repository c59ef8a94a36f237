// SPDX-License-Identifier: MIT
// netscry-cli across a router: the PC (this test's namespace) reaches the
// devices' subnet only through a router namespace, so no broadcast of the
// PC reaches them and no broadcast answer of theirs reaches the PC.
#include "cli_run.h"
#include "devsim_process.h"
#include "netns_lan.h"
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

struct SiteDevice
{
    const char *name, *type, *mac, *ip;
};
const SiteDevice kSite[] = {
    {"Remote Gateway", "I/O Gateway", "02:00:00:00:02:01", "10.72.0.20"},
    {"Remote Bridge", "Wireless Bridge", "02:00:00:00:02:02", "10.72.0.21"},
};

class CliAcrossRouter : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        lan_ = std::make_unique<testsupport::NetnsLan>();
        // PC 10.71.0.1 -- 10.71.0.254 router 10.72.0.254 -- the site's devices
        const int office = lan_->AddSegment(), site = lan_->AddSegment();
        ASSERT_GE(office, 0);
        ASSERT_GE(site, 0);
        pc_ = lan_->AddPcLink(office, "10.71.0.1/24");
        ASSERT_FALSE(pc_.empty());
        const std::string router = lan_->AddHost(office, "10.71.0.254/24");
        ASSERT_FALSE(router.empty());
        ASSERT_FALSE(lan_->AddLink(router, site, "10.72.0.254/24").empty());
        ASSERT_TRUE(lan_->Run(router, "sysctl -qw net.ipv4.ip_forward=1"));
        ASSERT_TRUE(lan_->Run("", "ip route add 10.72.0.0/24 via 10.71.0.254"));
        for (const auto &d : kSite) {
            // each device in a namespace of its own, holding only its own address
            const std::string host = lan_->AddHost(site, std::string(d.ip) + "/24", "10.72.0.254");
            ASSERT_FALSE(host.empty());
            const std::string path = dir_.path() + "/" + d.mac + ".json";
            std::ofstream(path) << json{{"devices",
                                         {{{"name", d.name},
                                           {"type", d.type},
                                           {"mac", d.mac},
                                           {"ip", d.ip},
                                           {"mask", "255.255.255.0"},
                                           {"gateway", "10.72.0.254"}}}}}
                                       .dump();
            auto sim = std::make_unique<testsupport::DevSim>(std::vector<std::string>{
                "--json", path, "--interface", "eth0", "--port", "30718", "--tftp-port", "6969"});
            sim->RunInside(testsupport::NetnsLan::Inside(host));
            ASSERT_TRUE(sim->Start());
            sims_.push_back(std::move(sim));
        }
        env_ = {{"TVP_PORT", "30718"}, {"TVP_TFTP_PORT", "6969"}, {"TVP_INTERFACES", ""}};
    }
    void TearDown() override
    {
        sims_.clear();
        lan_.reset();
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
    std::vector<std::string> SimLines() const
    {
        std::vector<std::string> all;
        for (const auto &s : sims_)
            for (auto &l : s->LogLines())
                all.push_back(l);
        return all;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::NetnsLan> lan_;
    std::string pc_;
    std::vector<std::unique_ptr<testsupport::DevSim>> sims_;
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
    // no broadcast, and each device answered its own request only
    size_t answered = 0;
    for (const auto &line : SimLines()) {
        if (line.find("] discover txid") == std::string::npos)
            continue;
        EXPECT_EQ(line.find("10.72.0.255"), std::string::npos) << line;
        EXPECT_EQ(line.find("255.255.255.255"), std::string::npos) << line;
        answered += line.find("answered by") != std::string::npos;
    }
    EXPECT_EQ(answered, 2u);
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
    ASSERT_TRUE(sims_[1]->WaitForLine("10.72.0.21 received"));
}

} // namespace
