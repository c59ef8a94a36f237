// SPDX-License-Identifier: MIT
// netscry-cli watch on a LAN of namespaces while the LAN changes: a device
// is added, re-addressed, made silent to probes (its firmware still
// answers discovery) and removed. The four events come in order, each within one cycle of the
// change, as JSON Lines; Ctrl+C ends the watch with exit 0.
#include "cli_run.h"
#include "devsim_process.h"
#include "netns_lan.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <ctime>
#include <thread>

using clitest::Result;
using clitest::RunCli;
using nlohmann::json;
using WallClock = std::chrono::system_clock;

namespace {

constexpr double kInterval = 2;
// a cycle starts every interval and discovers for as long: a change shows
// at the end of the cycle after it, the probe's settling included
constexpr auto kSeen = std::chrono::milliseconds(int(2 * kInterval * 1000) + 1500);

// "2024-05-01T10:00:00.123Z"
WallClock::time_point ParseTime(const std::string &text)
{
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return {};
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return WallClock::from_time_t(timegm(&tm)) + std::chrono::milliseconds(ms);
}

void Sleep(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

TEST(Watch, ADeviceAddedReaddressedSilencedAndRemovedGivesFourEventsInOrder)
{
    if (auto why = testsupport::NetnsLan::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    testsupport::TempDir dir;
    testsupport::NetnsLan lan;
    const int segment = lan.AddSegment();
    const std::string pc = lan.AddPcLink(segment, "10.130.0.1/24");
    ASSERT_FALSE(pc.empty());
    ASSERT_FALSE(lan.AddHost(segment, "10.130.0.9/24").empty()) << "a plain host";
    const std::map<std::string, std::string> env = {{"TVP_PORT", "30718"}, {"TVP_INTERFACES", pc}};

    // the watch runs until Ctrl+C (SIGINT) ends it
    const double runFor = 3 + 4 * 6 + 4 * kInterval;
    Result watch;
    std::thread watcher([&] {
        watch = RunCli({"watch", "--interval", "2", "--json"}, env, 90000,
                       {"timeout", "--preserve-status", "-s", "INT", std::to_string(runFor)});
    });
    const std::string mac = "02:0D:0E:00:00:01";
    Sleep(3);
    const auto added = WallClock::now();
    auto device = testsupport::StartLanDevice(lan, segment, {"Watched", mac, "10.130.0.20/24", ""}, dir.path());
    ASSERT_TRUE(device);
    Sleep(6);
    const auto moved = WallClock::now();
    Result set = RunCli({"set", mac, "--ip", "10.130.0.77", "--mask", "255.255.255.0"}, env);
    EXPECT_EQ(set.exitCode, 0) << set.err;
    Sleep(6);
    // the same device on its new address, with firmware that answers no probe
    device.reset();
    const auto silenced = WallClock::now();
    testsupport::LanDevice silent{"Watched", mac, "10.130.0.77/24", ""};
    silent.answersProbes = false;
    device = testsupport::StartLanDevice(lan, segment, silent, dir.path());
    ASSERT_TRUE(device);
    Sleep(6);
    const auto removed = WallClock::now();
    device.reset();
    watcher.join();

    EXPECT_EQ(watch.exitCode, 0) << "Ctrl+C ends the watch cleanly\n" << watch.err;
    std::vector<json> events;
    for (const auto &line : clitest::Lines(watch.out)) {
        try {
            events.push_back(json::parse(line));
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not a JSON line: " << line;
        }
    }
    struct Expected
    {
        const char *event;
        WallClock::time_point after;
        WallClock::duration within;
    } expected[] = {
        {"appeared", added, kSeen},
        {"changed", moved, kSeen},
        {"unreachable", silenced, kSeen},
        // three cycles without an answer
        {"disappeared", removed + std::chrono::seconds(int(2 * kInterval)),
         kSeen + std::chrono::seconds(int(kInterval))},
    };
    ASSERT_EQ(events.size(), std::size(expected)) << watch.out;
    for (size_t i = 0; i < events.size(); ++i) {
        const json &e = events[i];
        EXPECT_EQ(e.value("event", ""), expected[i].event) << e.dump();
        EXPECT_EQ(e.value("id", ""), mac) << e.dump();
        const auto at = ParseTime(e.value("time", ""));
        EXPECT_GE(at, expected[i].after) << e.dump();
        EXPECT_LE(at, expected[i].after + expected[i].within) << e.dump();
    }
    EXPECT_EQ(events[0].value("ip", ""), "10.130.0.20");
    EXPECT_EQ(events[1].value("field", ""), "ip");
    EXPECT_EQ(events[1].value("old", ""), "10.130.0.20");
    EXPECT_EQ(events[1].value("new", ""), "10.130.0.77");
    EXPECT_EQ(events[2].value("reachable", true), false);
}

} // namespace
