// SPDX-License-Identifier: MIT
// netscry-cli against tvp-devsim on loopback: every command's output parsed
// in each format, exit codes, fleets upgraded in parallel.
#include "cli_run.h"
#include "devsim_process.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <set>

using clitest::Lines;
using clitest::ParseCsv;
using clitest::Result;
using clitest::RunCli;
using nlohmann::json;

namespace {

const char *kBoiler = "00:1A:2B:00:00:01";
const char *kLine2 = "00:1A:2B:00:00:02";
const char *kWarehouse = "00:1A:2B:00:00:05";

// Devices whose names need quoting in CSV, and a small fleet to upgrade.
const char *kFleet = R"({"devices": [
  {"name": "Busy Unit", "type": "Serial Server", "mac": "02:00:00:00:01:01", "ip": "127.0.0.21",
   "mask": "255.0.0.0", "upgrade": "busy-first"},
  {"name": "Broken Unit", "type": "Serial Server", "mac": "02:00:00:00:01:02", "ip": "127.0.0.22",
   "mask": "255.0.0.0", "upgrade": "fail"},
  {"name": "Good Unit", "type": "Serial Server", "mac": "02:00:00:00:01:03", "ip": "127.0.0.23",
   "mask": "255.0.0.0"},
  {"name": "Gate \"North\", Door 1", "type": "I/O Gateway", "mac": "02:00:00:00:01:04", "ip": "127.0.0.24",
   "mask": "255.0.0.0"},
  {"name": "Gate South", "type": "I/O Gateway", "mac": "02:00:00:00:01:05", "ip": "127.0.0.25",
   "mask": "255.0.0.0"}
]})";

class CliOnSimulator : public ::testing::Test
{
protected:
    void Start(const char *devicesJson = nullptr)
    {
        std::vector<std::string> args;
        if (devicesJson) {
            const std::string path = dir_.path() + "/lan.json";
            std::ofstream(path) << devicesJson;
            args = {"--json", path};
        }
        sim_ = std::make_unique<testsupport::DevSim>(args);
        ASSERT_TRUE(sim_->Start());
        env_ = {{"TVP_INTERFACES", "lo"},
                {"TVP_PORT", std::to_string(sim_->Port())},
                {"TVP_TFTP_PORT", std::to_string(sim_->TftpPort())}};
    }
    Result Cli(std::vector<std::string> args) { return RunCli(args, env_); }
    json CliJson(std::vector<std::string> args, int expectedExit = 0)
    {
        args.push_back("--json");
        Result r = Cli(args);
        EXPECT_EQ(r.exitCode, expectedExit) << r.err;
        try {
            return json::parse(r.out);
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out;
            return json();
        }
    }
    std::string Image(size_t bytes)
    {
        const std::string path = dir_.path() + "/firmware.bin";
        std::string data(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i)
            data[i] = char(i * 131 + 7);
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
    static const json *ById(const json &list, const std::string &id)
    {
        for (const auto &d : list)
            if (d.value("id", "") == id)
                return &d;
        return nullptr;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::DevSim> sim_;
    std::map<std::string, std::string> env_;
};

TEST_F(CliOnSimulator, DiscoverJsonListsEveryDeviceOnceWithItsReachability)
{
    Start();
    json list = CliJson({"discover"});
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 8u) << list.dump(1); // five broadcasts, yet each device once
    std::vector<std::string> names;
    for (const auto &d : list) {
        for (const char *key : {"name", "type", "ip", "id", "interface"})
            EXPECT_TRUE(d.contains(key) && d[key].is_string()) << key << " in " << d.dump();
        ASSERT_TRUE(d["reachable"].is_boolean()) << d.dump();
        EXPECT_EQ(d["interface"], "lo (127.0.0.1)");
        names.push_back(d["name"]);
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    ASSERT_TRUE(ById(list, kBoiler));
    EXPECT_EQ((*ById(list, kBoiler))["ip"], "127.0.0.11");
    EXPECT_EQ((*ById(list, kBoiler))["reachable"], true);
    EXPECT_EQ((*ById(list, "00:1A:2B:00:00:04"))["reachable"], false); // answers no probe
    EXPECT_EQ((*ById(list, kWarehouse))["reachable"], false);          // on a foreign subnet
}

TEST_F(CliOnSimulator, DiscoverCsvAndTableCarryTheSameDevices)
{
    Start(kFleet);
    Result csv = Cli({"discover", "--csv", "--timeout", "1"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    auto rows = ParseCsv(csv.out);
    ASSERT_EQ(rows.size(), 6u) << csv.out;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"name", "type", "ip", "id", "interface", "reachable", "conflict"}));
    std::set<std::string> names;
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 7u);
        names.insert(rows[i][0]);
        EXPECT_EQ(rows[i][5], "true");
        EXPECT_EQ(rows[i][6], "") << "no two share an address";
    }
    EXPECT_TRUE(names.count("Gate \"North\", Door 1")) << csv.out;
    EXPECT_EQ(rows[1][0], "Broken Unit"); // sorted by name

    Result table = Cli({"discover", "--timeout", "1"});
    ASSERT_EQ(table.exitCode, 0) << table.err;
    auto lines = Lines(table.out);
    ASSERT_EQ(lines.size(), 6u) << table.out;
    EXPECT_EQ(lines[0].rfind("NAME", 0), 0u);
    const size_t ipColumn = lines[0].find("IP ADDRESS");
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].compare(ipColumn, 8, "127.0.0."), 0) << lines[i];
    EXPECT_EQ(lines[3].rfind("Gate \"North\", Door 1", 0), 0u);
}

TEST_F(CliOnSimulator, DiscoverTargetAsksOnlyTheGivenAddresses)
{
    Start();
    // .16/30 holds hosts .17 and .18 only: .16 (Chiller Monitor) is its network address
    json list = CliJson({"discover", "--target", "127.0.0.11", "--target", "127.0.0.12/32", "--target", "127.0.0.16/30",
                         "--target", "127.0.0.11", "--timeout", "0.5"});
    std::set<std::string> ips;
    for (const auto &d : list)
        ips.insert(d["ip"]);
    EXPECT_EQ(ips, (std::set<std::string>{"127.0.0.11", "127.0.0.12", "127.0.0.17", "127.0.0.18"}));
    size_t discovers = 0;
    for (const auto &line : sim_->LogLines()) {
        if (line.find("] discover txid") == std::string::npos)
            continue;
        ++discovers;
        EXPECT_EQ(line.find("127.255.255.255"), std::string::npos) << "a broadcast: " << line;
        EXPECT_TRUE(
            line.find("to 127.0.0.11:") != std::string::npos || line.find("to 127.0.0.12:") != std::string::npos ||
            line.find("to 127.0.0.17:") != std::string::npos || line.find("to 127.0.0.18:") != std::string::npos)
            << line;
    }
    EXPECT_EQ(discovers, 4u) << "each address once";

    // with --broadcast as well, the foreign device behind no router is found too
    list = CliJson({"discover", "--target", "127.0.0.11", "--broadcast", "--timeout", "1"});
    EXPECT_EQ(list.size(), 8u);
}

TEST_F(CliOnSimulator, DiscoverTargetSweepKeepsAnswersThatTakeTheirTime)
{
    // answers 30 ms late: hundreds of requests are out before the first returns
    sim_ = std::make_unique<testsupport::DevSim>(
        std::vector<std::string>{"--devices", "300", "--reply-delay-ms", "30", "--quiet"});
    ASSERT_TRUE(sim_->Start());
    env_ = {{"TVP_INTERFACES", "lo"},
            {"TVP_PORT", std::to_string(sim_->Port())},
            {"TVP_TFTP_PORT", std::to_string(sim_->TftpPort())}};
    Result r = Cli({"discover", "--target", "127.1.0.0/23", "--rate", "5000", "--timeout", "1", "--csv"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto rows = ParseCsv(r.out);
    ASSERT_FALSE(rows.empty());
    std::set<std::string> ids;
    for (size_t i = 1; i < rows.size(); ++i)
        ids.insert(rows[i].at(3));
    EXPECT_EQ(ids.size(), 300u);
    EXPECT_EQ(rows.size(), 301u) << "each device once";
}

TEST_F(CliOnSimulator, VerboseLogGoesToStderrOnly)
{
    Start();
    Result r = Cli({"discover", "--json", "-v", "--timeout", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json list = json::parse(r.out); // the log did not leak into the results
    EXPECT_EQ(list.size(), 8u);
    size_t logLines = 0;
    for (const auto &line : Lines(r.err))
        logLines += line.rfind("tvp: ", 0) == 0;
    EXPECT_GT(logLines, 0u) << r.err;
    EXPECT_EQ(Cli({"discover", "--json", "--timeout", "0.6"}).err, "") << "quiet without -v";
}

TEST_F(CliOnSimulator, LossyLinkThatDuplicatesAnswers)
{
    // a fifth of the requests lost, every answer sent twice
    sim_ =
        std::make_unique<testsupport::DevSim>(std::vector<std::string>{"--loss", "0.2", "--duplicate", "--seed", "7"});
    ASSERT_TRUE(sim_->Start());
    env_ = {{"TVP_INTERFACES", "lo"},
            {"TVP_PORT", std::to_string(sim_->Port())},
            {"TVP_TFTP_PORT", std::to_string(sim_->TftpPort())}};
    json list = CliJson({"discover"});
    EXPECT_EQ(list.size(), 8u) << list.dump(1);
    std::set<std::string> ids;
    for (const auto &d : list)
        ids.insert(d["id"]);
    EXPECT_EQ(ids.size(), list.size()) << "a device listed twice";
    ASSERT_TRUE(ById(list, kBoiler));
    EXPECT_EQ((*ById(list, kBoiler))["reachable"], true);

    // get and set retransmit; the doubled acknowledgement is taken once
    json set = CliJson({"set", kLine2, "--ip", "127.0.0.62", "--mask", "255.0.0.0"});
    EXPECT_EQ(set["ip"], "127.0.0.62");
    EXPECT_EQ(CliJson({"get", kLine2})["ip"], "127.0.0.62");
}

TEST_F(CliOnSimulator, GetInEveryFormat)
{
    Start();
    Result text = Cli({"get", "00-1a-2b-00-00-01"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "ip: 127.0.0.11\nmask: 255.0.0.0\ngateway: 127.0.0.1\ndhcp: no\ninterface: lo (127.0.0.1)\n");

    json j = CliJson({"get", kLine2});
    EXPECT_EQ(j["id"], kLine2);
    EXPECT_EQ(j["ip"], "127.0.0.12");
    EXPECT_EQ(j["mask"], "255.0.0.0");
    EXPECT_TRUE(j["gateway"].is_null());
    EXPECT_EQ(j["dhcp"], true);
    EXPECT_EQ(j["interface"], "lo (127.0.0.1)");

    Result csv = Cli({"get", kBoiler, "--csv"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    auto rows = ParseCsv(csv.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"id", "ip", "mask", "gateway", "dhcp", "interface"}));
    EXPECT_EQ(rows[1][1], "127.0.0.11");
    EXPECT_EQ(rows[1][4], "false");
}

TEST_F(CliOnSimulator, SetWaitsForTheAcknowledgedSettings)
{
    Start();
    Result set = Cli({"set", kBoiler, "--ip", "127.0.0.61", "--mask", "255.255.0.0", "--gateway", "127.0.0.1"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(set.out, "127.0.0.61\n");
    json j = CliJson({"get", kBoiler});
    EXPECT_EQ(j["ip"], "127.0.0.61");
    EXPECT_EQ(j["mask"], "255.255.0.0");
    EXPECT_EQ(j["dhcp"], false);

    json ack = CliJson({"set", kBoiler, "--dhcp"});
    EXPECT_EQ(ack["id"], kBoiler);
    EXPECT_EQ(ack["ip"], "127.0.0.61");
    EXPECT_EQ(CliJson({"get", kBoiler})["dhcp"], true);
}

TEST_F(CliOnSimulator, UsageErrorsExitTwoWithOneLineNamingTheFault)
{
    Start();
    const std::string image = Image(100);
    const std::string badPlan = dir_.path() + "/bad.csv";
    std::ofstream(badPlan) << "id,ip,mask,gateway\n"
                           << kBoiler << ",127.0.0.61,255.0.0.0,\nnot-an-id,127.0.0.62,255.0.0.0,\n";
    const std::string noId = dir_.path() + "/no-id.json";
    std::ofstream(noId) << R"([{"id": "00:1A:2B:00:00:01"}, {"name": "Boiler"}])";
    struct Case
    {
        std::vector<std::string> args;
        std::string named; // in the message
    } cases[] = {
        {{"frobnicate"}, "frobnicate"},
        {{"discover", "--bogus"}, "--bogus"},
        {{"discover", "--target", "300.1.1.1"}, "300.1.1.1"},
        {{"discover", "--target", "10.0.0.0/33"}, "10.0.0.0/33"},
        {{"discover", "--rate", "0"}, "rate"},
        {{"discover", "--interface", "nosuchif0"}, "nosuchif0"},
        {{"discover", "--json", "--csv"}, "csv"},
        {{"get"}, "ID"},
        {{"get", "00:1A:2B:00:00"}, "00:1A:2B:00:00"},
        {{"set", kBoiler, "--ip", "127.0.0.61"}, "--mask"},
        {{"set", kBoiler, "--ip", "127.0.0.61", "--mask", "255.0.255.0"}, "255.0.255.0"},
        {{"set", kBoiler, "--ip", "127.255.255.255", "--mask", "255.0.0.0"}, "broadcast"},
        {{"set", kBoiler, "--dhcp", "--ip", "127.0.0.61"}, "--ip"},
        {{"set", kBoiler}, "--dhcp"},
        {{"ping", "1.2.3"}, "1.2.3"},
        {{"upgrade", dir_.path() + "/missing.bin", "127.0.0.11"}, "missing.bin"},
        {{"upgrade", dir_.path(), "127.0.0.11"}, dir_.path().c_str()},
        {{"upgrade", image, "300.1.1.1"}, "300.1.1.1"},
        {{"upgrade", image, "not-a-device"}, "not-a-device"},
        {{"upgrade", image}, "--all"},
        {{"upgrade", image, "--all", "--jobs", "0"}, "jobs"},
        {{"plan"}, "check, apply or make"},
        {{"plan", "check", dir_.path() + "/missing.csv"}, "missing.csv cannot be read"},
        {{"plan", "apply", badPlan}, "bad.csv: line 3: \"not-an-id\" is not a device ID"},
        {{"plan", "apply", badPlan, "--jobs", "0"}, "jobs"},
        {{"plan", "make", "--from", "300.1.1.1"}, "300.1.1.1"},
        {{"plan", "make", "--from", "127.0.0.50", "-o", image}, "exists"},
        {{"discover", "--compare", dir_.path() + "/missing.json"}, "missing.json"},
        {{"discover", "--compare", noId}, "device 2 has no \"id\""},
        {{"discover", "--compare", noId, "--csv"}, "CSV"},
    };
    for (const auto &c : cases) {
        Result r = Cli(c.args);
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exitCode, 2) << what << "\n" << r.err;
        auto lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << what << ":\n" << r.err;
        EXPECT_NE(lines[0].find(c.named), std::string::npos) << what << ": " << lines[0];
        EXPECT_EQ(r.out, "") << what;
    }
    // nothing was asked of the simulator by any of them
    for (const auto &line : sim_->LogLines())
        EXPECT_EQ(line.find("txid"), std::string::npos) << line;
}

// A site saved, compared unchanged, then edited as a user would: each
// difference one event, exit 1.
TEST_F(CliOnSimulator, DiscoverSavesASiteAndComparesTheLanWithIt)
{
    Start();
    const std::string path = dir_.path() + "/site.json";
    const json list = CliJson({"discover", "--save", path});
    json saved;
    ASSERT_NO_THROW(saved = json::parse(std::ifstream(path)));
    EXPECT_EQ(saved, list) << "the file holds the list discover --json prints";
    Result same = Cli({"discover", "--compare", path});
    EXPECT_EQ(same.exitCode, 0) << same.out << same.err;
    EXPECT_EQ(same.out, "");

    json edited = json::array();
    for (auto d : saved) {
        if (d["id"] == kLine2)
            continue;
        if (d["id"] == kBoiler)
            d["ip"] = "127.0.0.99";
        if (d["id"] == kWarehouse)
            d["name"] = "Old Warehouse";
        edited.push_back(d);
    }
    edited.push_back({{"id", "02:99:00:00:00:01"}, {"name", "Retired"}, {"ip", "127.0.0.98"}});
    std::ofstream(path) << edited.dump(1);
    Result diff = Cli({"discover", "--compare", path, "--json"});
    EXPECT_EQ(diff.exitCode, 1) << diff.err;
    std::map<std::string, json> events; // by ID
    for (const auto &line : Lines(diff.out))
        events[json::parse(line).value("id", "")] = json::parse(line);
    ASSERT_EQ(events.size(), 4u) << diff.out;
    const struct
    {
        const char *id, *event, *field, *before, *after;
    } expected[] = {
        {kBoiler, "moved", "ip", "127.0.0.99", "127.0.0.11"},
        {kLine2, "new", "", "", ""},
        {kWarehouse, "changed", "name", "Old Warehouse", ""},
        {"02:99:00:00:00:01", "missing", "", "", ""},
    };
    for (const auto &e : expected) {
        const json &got = events[e.id];
        EXPECT_EQ(got.value("event", ""), e.event) << got.dump();
        EXPECT_EQ(got.value("field", ""), e.field) << got.dump();
        EXPECT_EQ(got.value("old", ""), e.before) << got.dump();
        if (*e.after) {
            EXPECT_EQ(got.value("new", ""), e.after) << got.dump();
        }
    }
}

TEST_F(CliOnSimulator, HelpAndVersionOnEveryLevel)
{
    Result version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("netscry-cli ", 0), 0u);
    Result top = RunCli({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char *command : {"discover", "get", "set", "auto-ip", "upgrade", "ping"}) {
        EXPECT_NE(top.out.find(command), std::string::npos) << command;
        Result r = RunCli({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_NE(r.out.find("--interface"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("--json"), std::string::npos) << r.out;
    }
}

TEST_F(CliOnSimulator, FailuresExitOne)
{
    Start();
    Result get = Cli({"get", "00:1A:2B:00:00:99"});
    EXPECT_EQ(get.exitCode, 1);
    EXPECT_NE(get.err.find("00:1A:2B:00:00:99"), std::string::npos) << get.err;
    EXPECT_EQ(get.out, "");

    Result set = Cli({"set", "00:1A:2B:00:00:99", "--dhcp"});
    EXPECT_EQ(set.exitCode, 1) << set.err;

    Result autoIp = Cli({"auto-ip", "00:1A:2B:00:00:99", "--timeout", "0.5"});
    EXPECT_EQ(autoIp.exitCode, 1) << autoIp.err;
    EXPECT_NE(autoIp.err.find("not found"), std::string::npos) << autoIp.err;

    // an interface that exists but is not in use names the reason
    Result none =
        RunCli({"discover", "--timeout", "0.5"}, {{"TVP_INTERFACES", "nosuchif1"}, {"TVP_PORT", env_["TVP_PORT"]}});
    EXPECT_EQ(none.exitCode, 1) << none.err;
    EXPECT_FALSE(none.err.empty());
}

TEST_F(CliOnSimulator, PingTellsReachableFromSilent)
{
    Start();
    json yes = CliJson({"ping", "127.0.0.11"});
    EXPECT_EQ(yes["ip"], "127.0.0.11");
    EXPECT_EQ(yes["reachable"], true);
    json no = CliJson({"ping", "127.0.0.14"}, 1); // the device that answers no probe
    EXPECT_EQ(no["reachable"], false);
    Result text = Cli({"ping", "192.168.77.20"}); // off every subnet in use: nothing sent
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_EQ(text.out, "192.168.77.20 is not reachable\n");
    EXPECT_NE(text.err.find("nothing was sent"), std::string::npos) << text.err;
}

TEST_F(CliOnSimulator, PlanMadeFromAnAddressSkipsTakenOnesAndPassesItsCheck)
{
    Start();
    const std::string plan = dir_.path() + "/site.csv";
    Result made = Cli({"plan", "make", "--from", "127.0.0.15", "--timeout", "1", "-o", plan});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::ifstream in(plan);
    const auto rows = ParseCsv(std::string(std::istreambuf_iterator<char>(in), {}));
    // name order; .16 is Chiller Monitor's own, .17 and .18 other devices'
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Boiler Room Gateway", "127.0.0.15"}, {"Chiller Monitor", "127.0.0.16"},
        {"Dock Door Sensor", "127.0.0.19"},    {"Line 2 Serial Server", "127.0.0.20"},
        {"Old Firmware Unit", "127.0.0.21"},   {"Packing PLC Bridge", "127.0.0.22"},
        {"Test Bench Adapter", "127.0.0.23"},  {"Warehouse Bridge", "127.0.0.24"}};
    ASSERT_EQ(rows.size(), expected.size() + 1);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"id", "ip", "mask", "gateway", "name"}));
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(rows[i + 1],
                  (std::vector<std::string>{rows[i + 1][0], expected[i].second, "255.0.0.0", "", expected[i].first}));
    EXPECT_EQ(Cli({"plan", "make", "--from", "127.0.0.15", "-o", plan}).exitCode, 2) << "an edited plan stays";

    json checked = CliJson({"plan", "check", plan, "--timeout", "1"});
    ASSERT_EQ(checked.size(), expected.size());
    for (const auto &line : checked)
        EXPECT_EQ(line["outcome"], "ok") << line.dump();
}

TEST_F(CliOnSimulator, AutoIpMovesTheForeignDeviceOntoTheLink)
{
    Start();
    Result r = Cli({"auto-ip", kWarehouse});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    const std::string address = lines[0];
    EXPECT_EQ(address.rfind("127.", 0), 0u) << address;
    json list = CliJson({"discover", "--timeout", "1"});
    const json *d = ById(list, kWarehouse);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)["ip"], address);
    EXPECT_EQ((*d)["reachable"], true);
    // every other device kept its address
    EXPECT_EQ((*ById(list, kBoiler))["ip"], "127.0.0.11");
}

TEST_F(CliOnSimulator, AutoIpLeavesAReachableDeviceAloneUnlessForced)
{
    Start();
    Result refused = Cli({"auto-ip", kBoiler});
    EXPECT_EQ(refused.exitCode, 1);
    ASSERT_EQ(Lines(refused.err).size(), 1u) << refused.err;
    EXPECT_NE(refused.err.find("127.0.0.11"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(CliJson({"get", kBoiler})["ip"], "127.0.0.11") << "left alone";

    Result forced = Cli({"auto-ip", kBoiler, "--force"});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(Lines(forced.out).at(0), "127.0.0.11");
    EXPECT_EQ(CliJson({"get", kBoiler})["ip"], Lines(forced.out).at(0));
}

TEST_F(CliOnSimulator, UpgradeOneAtATimeOneBusyOneFailing)
{
    Start(kFleet);
    const std::string image = Image(300 * 1024);
    json results = CliJson({"upgrade", image, "127.0.0.21", "02:00:00:00:01:02", "127.0.0.23", "--jobs", "1",
                            "--verify", "--verify-timeout", "5"},
                           1);
    ASSERT_TRUE(results.is_array());
    ASSERT_EQ(results.size(), 3u) << results.dump(1);
    EXPECT_EQ(results[0]["target"], "127.0.0.21");
    EXPECT_EQ(results[0]["ok"], true);
    EXPECT_EQ(results[0]["attempts"], 2); // busy, then done after the pause
    EXPECT_EQ(results[1]["target"], "02:00:00:00:01:02");
    EXPECT_EQ(results[1]["ip"], "127.0.0.22"); // resolved by a discovery
    EXPECT_EQ(results[1]["name"], "Broken Unit");
    EXPECT_EQ(results[1]["ok"], false);
    EXPECT_EQ(results[1]["attempts"], 1); // a refusal is not retried
    EXPECT_EQ(results[1]["result"], 4);
    EXPECT_EQ(results[2]["ok"], true);
    EXPECT_EQ(results[2]["attempts"], 1);
    for (const auto &r : results)
        EXPECT_EQ(r["answers"], true) << r.dump();

    // one at a time, yet the good device got its image while the busy one
    // paused: a device in its retry pause holds no slot
    const auto log = sim_->LogLines();
    auto at = [&](const std::string &text) {
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].find(text) != std::string::npos)
                return i;
        return log.size();
    };
    const size_t goodDone = at("127.0.0.23 received"), busyDone = at("127.0.0.21 received");
    ASSERT_LT(goodDone, log.size());
    ASSERT_LT(busyDone, log.size());
    EXPECT_LT(goodDone, busyDone);
    EXPECT_EQ(at("127.0.0.22 received"), log.size());
}

TEST_F(CliOnSimulator, UpgradeEveryDeviceOfATypeOrName)
{
    Start(kFleet);
    const std::string image = Image(5000);
    Result byType = Cli({"upgrade", image, "--type", "I/O Gateway", "--jobs", "2"});
    ASSERT_EQ(byType.exitCode, 0) << byType.err;
    auto lines = Lines(byType.out);
    ASSERT_EQ(lines.size(), 2u) << byType.out;
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines[0], "127.0.0.24 (Gate \"North\", Door 1): upgraded");
    EXPECT_EQ(lines[1], "127.0.0.25 (Gate South): upgraded");
    EXPECT_EQ(byType.err.find('\033'), std::string::npos) << "no progress bar off a terminal";

    json byName = CliJson({"upgrade", image, "--name", "G*d*"});
    ASSERT_EQ(byName.size(), 1u) << byName.dump(1);
    EXPECT_EQ(byName[0]["name"], "Good Unit");

    // an ID no device answers for fails alone; the others are still upgraded
    json mixed = CliJson({"upgrade", image, "02:00:00:00:09:09", "127.0.0.23", "--timeout", "0.5"}, 1);
    ASSERT_EQ(mixed.size(), 2u) << mixed.dump(1);
    EXPECT_EQ(mixed[0]["ok"], false);
    EXPECT_TRUE(mixed[0]["ip"].is_null());
    EXPECT_EQ(mixed[0]["message"], "not found by discovery");
    EXPECT_EQ(mixed[0]["attempts"], 0);
    EXPECT_EQ(mixed[1]["ok"], true);

    Result none = Cli({"upgrade", image, "--type", "Toaster"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");

    size_t received = 0; // the simulator's one line per image stored
    const std::string stored = " received \"firmware.bin\", 5000 bytes, sha256 ";
    for (const auto &line : sim_->LogLines())
        received += line.find(stored) != std::string::npos;
    EXPECT_EQ(received, 4u);
}

} // namespace
