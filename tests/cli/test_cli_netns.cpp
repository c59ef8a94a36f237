// SPDX-License-Identifier: MIT
// netscry-cli on LANs of namespaces. Across a router: the PC (this test's
// namespace) reaches the devices' subnet only through a router namespace,
// so no broadcast of the PC reaches them and no broadcast answer of theirs
// reaches the PC. On one link: devices that share an address, and PC cards
// that can't be used.
#include "cli_run.h"
#include "devsim_process.h"
#include "netns_lan.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

using clitest::Lines;
using clitest::Result;
using clitest::RunCli;
using nlohmann::json;

namespace {

// The simulator playing `devices` (a JSON list) inside a host namespace,
// tied to its eth0, without touching the host's address.
std::unique_ptr<testsupport::DevSim> StartSim(const std::string &host, const json &devices, const std::string &dir)
{
    const std::string path = dir + "/" + host + ".json";
    std::ofstream(path) << json{{"devices", devices}}.dump();
    auto sim = std::make_unique<testsupport::DevSim>(
        std::vector<std::string>{"--json", path, "--interface", "eth0", "--port", "30718", "--tftp-port", "6969"});
    sim->RunInside(testsupport::NetnsLan::Inside(host));
    return sim->Start() ? std::move(sim) : nullptr;
}

json ParseJson(const Result &r)
{
    try {
        return json::parse(r.out);
    } catch (const json::exception &e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << r.err;
        return json();
    }
}

const json *ById(const json &list, const std::string &id)
{
    for (const auto &d : list)
        if (d.value("id", "") == id)
            return &d;
    return nullptr;
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
        const auto routed = lan_->AddRoutedSite("10.71.0", "10.72.0");
        ASSERT_FALSE(routed.pc.empty());
        office_ = routed.office;
        const int site = routed.site;
        pc_ = routed.pc;
        router_ = routed.router;
        for (const auto &d : kSite) {
            // each device in a namespace of its own, holding only its own
            // address, its default route via the router
            auto sim = testsupport::StartLanDevice(
                *lan_, site, {d.name, d.mac, std::string(d.ip) + "/24", "10.72.0.254", d.type}, dir_.path());
            ASSERT_TRUE(sim) << d.name;
            sims_.push_back(std::move(sim));
        }
        env_ = {{"TVP_PORT", "30718"}, {"TVP_TFTP_PORT", ""}, {"TVP_INTERFACES", ""}};
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
    int office_ = -1;
    std::string pc_, router_;
    std::vector<std::unique_ptr<testsupport::DevSim>> sims_;
    std::map<std::string, std::string> env_;
};

TEST_F(CliAcrossRouter, BroadcastFindsNothingTargetFindsTheDevices)
{
    json broadcast = CliJson({"discover", "--interface", pc_, "--timeout", "1"});
    EXPECT_TRUE(broadcast.is_array() && broadcast.empty()) << broadcast.dump(1);

    json found =
        CliJson({"discover", "--interface", pc_, "--target", "10.72.0.0/24", "--rate", "2000", "--timeout", "1"});
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
    json results = CliJson({"upgrade", image, "10.72.0.20", "10.72.0.21", "--jobs", "2", "--verify", "--verify-timeout",
                            "5", "--interface", pc_});
    ASSERT_EQ(results.size(), 2u) << results.dump(1);
    for (const auto &r : results) {
        EXPECT_EQ(r["ok"], true) << r.dump();
        EXPECT_EQ(r["answers"], true) << r.dump();
    }
    ASSERT_TRUE(sims_[1]->WaitForLine("10.72.0.21 received"));
}

// What the user names is probed through the routing table, so ping and
// discover --target agree; a broadcast answer claiming an address behind
// the router makes the PC send nothing there.
TEST_F(CliAcrossRouter, NamedAddressesAreProbedThroughTheRouterBroadcastAnswersAreNot)
{
    const std::string impostor = lan_->AddHost(office_, "10.71.0.60/24");
    ASSERT_FALSE(impostor.empty());
    auto claim = StartSim(impostor,
                          {{{"name", "Impostor"},
                            {"type", "I/O Gateway"},
                            {"mac", "02:00:00:00:02:09"},
                            {"ip", "10.72.0.21"},
                            {"mask", "255.255.255.0"}}},
                          dir_.path());
    ASSERT_TRUE(claim);

    json ping = CliJson({"ping", "10.72.0.20", "--interface", pc_});
    EXPECT_EQ(ping["reachable"], true) << "a routed address the user names is probed";
    json targeted = CliJson({"discover", "--interface", pc_, "--target", "10.72.0.20", "--timeout", "1"});
    ASSERT_EQ(targeted.size(), 1u) << targeted.dump(1);
    EXPECT_EQ(targeted[0]["reachable"], true);

    json heard = CliJson({"discover", "--interface", pc_, "--timeout", "1"});
    ASSERT_EQ(heard.size(), 1u) << heard.dump(1);
    EXPECT_EQ(heard[0]["name"], "Impostor");
    EXPECT_EQ(heard[0]["reachable"], false);
    for (const auto &line : sims_[1]->LogLines())
        EXPECT_EQ(line.find("probe txid"), std::string::npos) << "probed for a broadcast answer: " << line;

    // by ID, only a broadcast can find a device: say how to reach one behind a router
    const std::string id = kSite[0].mac;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"get", id}, {"set", id, "--dhcp"}, {"auto-ip", id, "--timeout", "0.5"}}) {
        auto withInterface = args;
        withInterface.insert(withInterface.end(), {"--interface", pc_});
        Result r = RunCli(withInterface, env_);
        EXPECT_EQ(r.exitCode, 1) << args[0] << ": " << r.err;
        ASSERT_EQ(Lines(r.err).size(), 1u) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("--target"), std::string::npos) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(args[0] == "auto-ip" ? "same-link" : "--address"), std::string::npos)
            << args[0] << ": " << r.err;
    }
}

// Found by a unicast Discover, the device is read, re-addressed and read
// back at its new address by unicast: no broadcast crosses the router.
TEST_F(CliAcrossRouter, ADeviceBehindTheRouterIsReadReAddressedAndReadBackByUnicast)
{
    const std::string id = kSite[0].mac;
    json found = CliJson({"discover", "--interface", pc_, "--target", "10.72.0.20", "--timeout", "1"});
    ASSERT_EQ(found.size(), 1u) << found.dump(1);
    json before = CliJson({"get", id, "--address", "10.72.0.20", "--interface", pc_});
    EXPECT_EQ(before["ip"], "10.72.0.20");
    EXPECT_EQ(before["mask"], "255.255.255.0");
    EXPECT_EQ(before["gateway"], "10.72.0.254");
    EXPECT_EQ(before["interface"], pc_ + " (10.71.0.1)") << "the card the answer came in on";

    json set = CliJson({"set", id, "--address", "10.72.0.20", "--ip", "10.72.0.120", "--mask", "255.255.255.0",
                        "--gateway", "10.72.0.254", "--interface", pc_});
    EXPECT_EQ(set["ip"], "10.72.0.120");
    json after = CliJson({"get", id, "--address", "10.72.0.120", "--interface", pc_});
    EXPECT_EQ(after["ip"], "10.72.0.120");
    json again = CliJson({"discover", "--interface", pc_, "--target", "10.72.0.120", "--timeout", "1"});
    ASSERT_EQ(again.size(), 1u) << again.dump(1);
    EXPECT_EQ(again[0]["id"], id);
    EXPECT_EQ(again[0]["reachable"], true);

    struct Case
    {
        std::vector<std::string> args;
        const char *says;
    } refused[] = {
        {{"get", id, "--address", "10.72.0.20"}, "did not answer at 10.72.0.20"},
        {{"get", kSite[1].mac, "--address", "10.72.0.120"}, "did not answer at 10.72.0.120"},
        {{"get", id, "--address", "10.99.0.5"}, "no route to 10.99.0.5"},
        {{"auto-ip", id, "--address", "10.72.0.120", "--timeout", "0.5"}, "same-link"},
    };
    for (auto &c : refused) {
        c.args.insert(c.args.end(), {"--interface", pc_});
        Result r = RunCli(c.args, env_);
        EXPECT_EQ(r.exitCode, 1) << c.args[0] << " " << c.args[1] << ": " << r.err;
        ASSERT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

// An ICMP error that the router sends back for one request must not cost
// a later request its send; what could not be asked is named, with why.
TEST_F(CliAcrossRouter, ASweepAsksEveryRoutedAddressAndNamesTheOnesItCouldNot)
{
    // the router knows no way on to 10.73.0.0/24 and says so for each request
    ASSERT_TRUE(lan_->Run("", "ip route add 10.73.0.0/24 via 10.71.0.254"));
    ASSERT_TRUE(lan_->Run(router_, "sysctl -qw net.ipv4.icmp_ratelimit=0"));
    Result r = RunCli({"discover", "--interface", pc_, "--target", "10.73.0.0/24", "--target", "10.99.0.5", "--rate",
                       "20000", "--timeout", "0.5"},
                      env_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.err), std::vector<std::string>{"netscry-cli: 1 of 255 addresses not asked: 10.99.0.5 (no route "
                                                     "to it leaves by an interface in use)"});
}

// Two devices on one address, as when one was set up as a copy of the
// other: both are listed with the conflict and neither as reachable (the
// probe's answer names no device), nor upgraded by ID. Auto IP moves the one
// the PC's neighbour entry names without --force; the other must read
// reachable at once, not when the kernel gets round to it.
TEST(CliSharedAddress, BothAreMarkedAfterAutoIpTheOneLeftIsReachableAtOnce)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const std::vector<std::string> noNetAdmin = {"setpriv", "--inh-caps=-net_admin", "--bounding-set=-net_admin"};
    const bool canDrop = Output("setpriv --bounding-set=-net_admin true && echo ok").find("ok") != std::string::npos;
    struct Case
    {
        const char *how;
        std::vector<std::string> prefix;
        const char *logged;
    } cases[] = {
        {"with CAP_NET_ADMIN", {}, "removed"},
        {"without CAP_NET_ADMIN", noNetAdmin, "not trusted"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        if (!c.prefix.empty() && !canDrop)
            continue;
        testsupport::TempDir dir;
        testsupport::NetnsLan lan;
        const int sw = lan.AddSegment();
        const std::string pc = lan.AddPcLink(sw, "10.61.0.1/24");
        ASSERT_FALSE(pc.empty());
        const testsupport::LanDevice copies[] = {{"Copy One", "02:0D:00:00:00:01", "10.61.0.50/24", ""},
                                                 {"Copy Two", "02:0D:00:00:00:02", "10.61.0.50/24", ""}};
        auto one = testsupport::StartLanDevice(lan, sw, copies[0], dir.path());
        auto two = testsupport::StartLanDevice(lan, sw, copies[1], dir.path());
        ASSERT_TRUE(one && two);
        const std::map<std::string, std::string> env = {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", pc}};
        Result listed = RunCli({"discover", "--json", "--timeout", "1"}, env);
        json before = ParseJson(listed);
        ASSERT_EQ(before.size(), 2u) << before.dump(1);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(before[i]["reachable"], false) << before.dump(1);
            EXPECT_EQ(before[i]["conflict"], json::array({before[1 - i]["id"]})) << before.dump(1);
        }
        EXPECT_EQ(Lines(listed.err).size(), 1u) << listed.err;
        EXPECT_NE(listed.err.find("2 devices report 10.61.0.50"), std::string::npos) << listed.err;
        if (c.prefix.empty()) {
            const std::string image = dir.path() + "/fw.bin";
            std::ofstream(image, std::ios::binary) << std::string(2000, 'x');
            Result upgrade = RunCli({"upgrade", image, copies[0].mac}, env);
            EXPECT_EQ(upgrade.exitCode, 1) << upgrade.out << upgrade.err;
            EXPECT_NE(upgrade.out.find("shares its address 10.61.0.50 with " + std::string(copies[1].mac)),
                      std::string::npos)
                << upgrade.out;
        }

        // the entry holds the card of whichever answered ARP first: move that one
        const std::string entry = Output("ip neigh show 10.61.0.50 dev " + pc);
        const size_t at = entry.find("lladdr ");
        ASSERT_NE(at, std::string::npos) << entry;
        std::string hardware = entry.substr(at + 7, 17);
        for (char &ch : hardware)
            ch = char(std::toupper(static_cast<unsigned char>(ch)));
        const std::string moved = hardware, stays = hardware == copies[0].mac ? copies[1].mac : copies[0].mac;
        ASSERT_TRUE(ById(before, moved)) << entry;

        Result autoIp = RunCli({"auto-ip", moved, "-v"}, env, 60000, c.prefix);
        ASSERT_EQ(autoIp.exitCode, 0) << autoIp.err;
        EXPECT_NE(autoIp.err.find(c.logged), std::string::npos) << autoIp.err;
        if (!c.prefix.empty())
            continue; // the kernel resolves it again by itself, within a minute
        json after = ParseJson(RunCli({"discover", "--json", "--timeout", "1"}, env));
        const json *left = ById(after, stays), *gone = ById(after, moved);
        ASSERT_TRUE(left && gone) << after.dump(1);
        EXPECT_EQ((*left)["ip"], "10.61.0.50");
        EXPECT_EQ((*left)["reachable"], true);
        EXPECT_EQ((*left)["conflict"], json::array());
        EXPECT_EQ((*gone)["ip"], Lines(autoIp.out).at(0));
        EXPECT_EQ((*gone)["reachable"], true);
    }
}

// A card that can't be used says why, however it was named; -v lists the
// cards left out and why.
TEST(CliInterfaces, EachUnusableInterfaceIsNamedWithItsReason)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::NetnsLan lan;
    const int sw = lan.AddSegment();
    const std::string used = lan.AddPcLink(sw, "10.64.0.1/24"), down = lan.AddPcLink(sw, "10.65.0.1/24"),
                      bare = lan.AddPcLink(sw, "");
    ASSERT_FALSE(used.empty() || down.empty() || bare.empty());
    ASSERT_TRUE(lan.Run("", "ip link set " + down + " down"));
    const std::string isDown = down + " is down", noAddress = bare + " has no IPv4 address";
    struct Case
    {
        std::vector<std::string> args;
        std::string selected; // TVP_INTERFACES
        int exitCode;
        std::vector<std::string> named;
    } cases[] = {
        {{"discover", "--interface", down}, "", 1, {isDown}},
        {{"ping", "10.64.0.9", "--interface", bare}, "", 1, {noAddress}},
        {{"discover"}, down + "," + bare, 1, {isDown, noAddress}},
        {{"get", "02:0D:00:00:00:01"}, down + "," + bare, 1, {isDown, noAddress}},
        {{"discover", "-v", "--timeout", "0.3"}, "", 0, {isDown, noAddress}},
    };
    for (const auto &c : cases) {
        Result r = RunCli(c.args, {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", c.selected}});
        std::string what = "with TVP_INTERFACES=" + c.selected + ":";
        for (const auto &a : c.args)
            what += " " + a;
        EXPECT_EQ(r.exitCode, c.exitCode) << what << "\n" << r.err;
        if (c.exitCode != 0) {
            EXPECT_EQ(Lines(r.err).size(), 1u) << what << "\n" << r.err;
        }
        for (const auto &text : c.named)
            EXPECT_NE(r.err.find(text), std::string::npos) << what << ": no \"" << text << "\" in\n" << r.err;
    }
}

} // namespace
