// SPDX-License-Identifier: MIT
// netscry-cli plan on a LAN as a site has it: twenty devices, each in a
// namespace of its own holding only its own address, on a switch with a
// plain host that is no device; the PC has a second card on another
// switch, and the devices lose a share of what they are sent.
#include "cli_run.h"
#include "devsim_process.h"
#include "netns_lan.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using clitest::Result;
using clitest::RunCli;
using nlohmann::json;

namespace {

constexpr int kDevices = 20;
// the device that acknowledges its new settings and never comes back
constexpr int kVanishing = 7;
const char *kHostAddress = "10.61.0.200";

std::string Mac(int i)
{
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:00:61:%02X", i);
    return text;
}
std::string OldIp(int i)
{
    return "10.61.0." + std::to_string(10 + i);
}
std::string NewIp(int i)
{
    return "10.61.0." + std::to_string(100 + i);
}

class PlanOnLan : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        lan_ = std::make_unique<testsupport::NetnsLan>();
        const int site = lan_->AddSegment(), office = lan_->AddSegment();
        ASSERT_FALSE(lan_->AddPcLink(site, "10.61.0.1/24").empty());
        ASSERT_FALSE(lan_->AddPcLink(office, "10.62.0.1/24").empty());
        ASSERT_FALSE(lan_->AddHost(site, std::string(kHostAddress) + "/24", "10.61.0.254").empty());
        for (int i = 1; i <= kDevices; ++i) {
            const testsupport::LanDevice d{"Unit " + std::to_string(100 + i), Mac(i), OldIp(i) + "/24", "10.61.0.254"};
            std::vector<std::string> faults{"--loss", "0.05", "--seed", std::to_string(i)};
            if (i == kVanishing)
                faults.insert(faults.end(), {"--vanish-when-moved", Mac(i)});
            auto sim = testsupport::StartLanDevice(*lan_, site, d, dir_.path(), faults);
            ASSERT_TRUE(sim) << d.name;
            sims_.push_back(std::move(sim));
        }
        env_ = {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", ""}};
    }
    // A plan moving device i to NewIp(i), or to `addresses`[i]; `extra` lines at its end.
    std::string WritePlan(const std::map<int, std::string> &addresses, const std::string &extra = "")
    {
        std::string text = "id,ip,mask,gateway\r\n";
        for (int i = 1; i <= kDevices; ++i) {
            auto it = addresses.find(i);
            text += Mac(i) + "," + (it == addresses.end() ? NewIp(i) : it->second) + ",255.255.255.0,10.61.0.254\r\n";
        }
        const std::string path = dir_.path() + "/plan.csv";
        std::ofstream(path, std::ios::binary) << text << extra;
        return path;
    }
    json Cli(const std::vector<std::string> &args, int expectedExit)
    {
        Result r = RunCli(args, env_, 120000);
        EXPECT_EQ(r.exitCode, expectedExit) << r.err;
        try {
            return json::parse(r.out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << r.err;
            return json::array();
        }
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::NetnsLan> lan_;
    std::vector<std::unique_ptr<testsupport::DevSim>> sims_;
    std::map<std::string, std::string> env_;
};

TEST_F(PlanOnLan, CheckReportsTheHostsAddressAndTheDuplicateLineOnly)
{
    // device 5 is planned at the plain host's address; line 4 (device 3) is there twice
    const std::string duplicate = Mac(3) + "," + NewIp(3) + ",255.255.255.0,10.61.0.254\r\n";
    json results = Cli({"plan", "check", WritePlan({{5, kHostAddress}}, duplicate), "--json"}, 1);
    ASSERT_EQ(results.size(), size_t(kDevices + 1)) << results.dump(1);
    for (const auto &r : results) {
        const int line = r["line"];
        const std::string message = r["message"];
        if (line == 6) {
            EXPECT_EQ(r["outcome"], "problem");
            EXPECT_NE(message.find(std::string(kHostAddress) + " is in use: a host"), std::string::npos) << message;
        } else if (line == 4 || line == kDevices + 2) {
            EXPECT_EQ(r["outcome"], "problem");
            EXPECT_NE(message.find(Mac(3) + " is on line " + std::to_string(line == 4 ? kDevices + 2 : 4)),
                      std::string::npos)
                << message;
        } else {
            EXPECT_EQ(r["outcome"], "ok") << r.dump();
            EXPECT_NE(message.find("on pc"), std::string::npos) << message;
            EXPECT_NE(message.find("(10.61.0.1)"), std::string::npos) << "the card whose subnet holds it: " << message;
        }
    }
}

TEST_F(PlanOnLan, ApplyRollsBackTheDeviceThatNeverComesBackAndMovesTheOthers)
{
    json results = Cli({"plan", "apply", WritePlan({}), "--jobs", "8", "--verify-timeout", "5", "--json"}, 1);
    ASSERT_EQ(results.size(), size_t(kDevices)) << results.dump(1);
    for (int i = 1; i <= kDevices; ++i) {
        const json &r = results[size_t(i - 1)];
        EXPECT_EQ(r["id"], Mac(i));
        EXPECT_EQ(r["outcome"], i == kVanishing ? "rolled back" : "applied") << r.dump();
        if (i == kVanishing) {
            EXPECT_NE(r["message"].get<std::string>().find("answers at " + OldIp(i) + " again"), std::string::npos)
                << r.dump();
        }
    }
    // afterwards, as any user would look: each device where the plan and the rollback left it
    json found = Cli({"discover", "--json"}, 0);
    ASSERT_EQ(found.size(), size_t(kDevices)) << found.dump(1);
    for (const auto &d : found) {
        const int i = std::stoi(d["id"].get<std::string>().substr(15), nullptr, 16);
        EXPECT_EQ(d["ip"], i == kVanishing ? OldIp(i) : NewIp(i)) << d.dump();
        EXPECT_EQ(d["reachable"], true) << d.dump();
    }
}

} // namespace
