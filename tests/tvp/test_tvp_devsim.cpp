// SPDX-License-Identifier: MIT
// The library against tvp-devsim on loopback.
#include "devsim_process.h"
#include "test_support.h"
#include "tvp.h"
#include "tvp_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <set>

using namespace tvptest;

namespace {

const char *kBoiler = "00:1A:2B:00:00:01";
const char *kWarehouse = "00:1A:2B:00:00:05";

class LibraryOnSimulator : public ::testing::Test
{
protected:
    void StartSim(std::vector<std::string> args = {})
    {
        sim_ = std::make_unique<testsupport::DevSim>(std::move(args));
        ASSERT_TRUE(sim_->Start());
        sim_->UseFromThisProcess();
        Collect();
    }
    void TearDown() override
    {
        TVPCleanup();
        sim_.reset();
    }

    std::vector<uint8_t> Id(const char *text)
    {
        std::vector<uint8_t> id(TVP_ID_SIZE);
        EXPECT_EQ(TVPMacToID(text, id.data()), 0);
        return id;
    }
    int Discover()
    {
        g_insideRequest = true;
        int rc = TVPDiscover();
        g_insideRequest = false;
        return rc;
    }
    int GetIP(const char *idText)
    {
        auto id = Id(idText);
        g_insideRequest = true;
        int rc = TVPGetIP(id.data());
        g_insideRequest = false;
        return rc;
    }
    int SetIP(const char *idText, const char *a, const char *m, const char *g, uint8_t dhcp = 0)
    {
        auto id = Id(idText);
        g_insideRequest = true;
        int rc = TVPSetIP(id.data(), a, m, g, dhcp);
        g_insideRequest = false;
        return rc;
    }
    // The settings a device reports now.
    Event Query(const char *idText)
    {
        size_t before = EventsOf(TVPEventGetIPReply).size();
        EXPECT_EQ(GetIP(idText), 0);
        EXPECT_TRUE(PumpUntil([&] { return EventsOf(TVPEventGetIPReply).size() > before; }));
        auto replies = EventsOf(TVPEventGetIPReply);
        return replies.size() > before ? replies.back() : Event{};
    }
    size_t Found() { return EventsOf(TVPEventDeviceFound).size(); }

    std::unique_ptr<testsupport::DevSim> sim_;
};

TEST_F(LibraryOnSimulator, DiscoveryListsEverySampleDeviceOnLoopback)
{
    StartSim();
    ASSERT_EQ(Discover(), 0);
    EXPECT_TRUE(Events().empty()) << "answers must wait for TVPProcessEvents";
    ASSERT_TRUE(PumpUntil([&] { return Found() >= 8; }));
    std::map<std::string, Event> byId;
    for (const auto &e : EventsOf(TVPEventDeviceFound))
        byId[e.id] = e;
    ASSERT_EQ(byId.size(), 8u);
    EXPECT_EQ(byId[kBoiler].name, "Boiler Room Gateway");
    EXPECT_EQ(byId[kBoiler].type, "I/O Gateway");
    EXPECT_EQ(byId[kBoiler].address, "127.0.0.11");
    EXPECT_EQ(byId[kBoiler].iface, "lo (127.0.0.1)");
    // a device on a foreign subnet answers by broadcast and is found all the same
    EXPECT_EQ(byId[kWarehouse].address, "192.168.77.20");
    EXPECT_EQ(byId[kWarehouse].iface, "lo (127.0.0.1)");
    EXPECT_EQ(Misdelivered(), 0);
    EXPECT_TRUE(LogContains("discovery")) << "debug log names the broadcast";
}

TEST_F(LibraryOnSimulator, EveryAnswerIsDeliveredDuplicatesIncluded)
{
    struct Case
    {
        std::vector<std::string> args;
        int broadcasts;
        size_t expected;
    };
    for (const Case &c : {Case{{}, 2, 16}, Case{{"--duplicate"}, 1, 16}}) {
        StartSim(c.args);
        for (int i = 0; i < c.broadcasts; ++i)
            ASSERT_EQ(Discover(), 0);
        EXPECT_TRUE(PumpUntil([&] { return Found() >= c.expected; }));
        PumpFor(100);
        EXPECT_EQ(Found(), c.expected);
        std::map<std::string, int> perId;
        for (const auto &e : EventsOf(TVPEventDeviceFound))
            ++perId[e.id];
        for (const auto &[id, n] : perId)
            EXPECT_EQ(n, 2) << id;
        TVPCleanup();
    }
}

TEST_F(LibraryOnSimulator, GetIPReportsTheDeviceSettings)
{
    StartSim();
    Event boiler = Query(kBoiler);
    EXPECT_EQ(boiler.id, kBoiler);
    EXPECT_EQ(boiler.iface, "lo (127.0.0.1)");
    EXPECT_EQ(boiler.address, "127.0.0.11");
    EXPECT_EQ(boiler.mask, "255.0.0.0");
    EXPECT_EQ(boiler.gateway, "127.0.0.1");
    EXPECT_EQ(boiler.dhcp, 0);
    Event dhcp = Query("00-1a-2b-00-00-02");
    EXPECT_EQ(dhcp.dhcp, 1);
    EXPECT_EQ(dhcp.gateway, "") << "no gateway is an empty text";
    EXPECT_EQ(Misdelivered(), 0);
}

TEST_F(LibraryOnSimulator, SetToForeignSubnetAndBackChangesReachability)
{
    StartSim();
    EXPECT_EQ(TVPPingDevice("127.0.0.11"), 1);
    ASSERT_EQ(SetIP(kBoiler, "10.9.8.7", "255.255.255.0", ""), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    Event ack = EventsOf(TVPEventSetIPReply).front();
    EXPECT_EQ(ack.id, kBoiler);
    EXPECT_EQ(ack.address, "10.9.8.7");
    Event now = Query(kBoiler);
    EXPECT_EQ(now.address, "10.9.8.7");
    EXPECT_EQ(now.mask, "255.255.255.0");
    EXPECT_EQ(now.gateway, "");
    EXPECT_EQ(TVPPingDevice("10.9.8.7"), 0) << "off-link after the move";

    ASSERT_EQ(SetIP(kBoiler, "127.0.0.99", "255.0.0.0", "127.0.0.1"), 0);
    ASSERT_TRUE(PumpUntil([&] { return EventsOf(TVPEventSetIPReply).size() >= 2; }));
    EXPECT_EQ(Query(kBoiler).address, "127.0.0.99");
    EXPECT_EQ(TVPPingDevice("127.0.0.99"), 1) << "reachable again at its new address";
    EXPECT_EQ(Misdelivered(), 0);
}

TEST_F(LibraryOnSimulator, InvalidSettingsAreRefusedBeforeSending)
{
    StartSim();
    struct Case
    {
        const char *address, *mask, *gateway;
        uint8_t dhcp;
    };
    for (const Case &c : {Case{"127.0.0.256", "255.0.0.0", "", 0}, Case{"127.0.0", "255.0.0.0", "", 0},
                          Case{"127.0.0.5 ", "255.0.0.0", "", 0}, Case{"0x7f.0.0.5", "255.0.0.0", "", 0},
                          Case{"127.0.0.5", "255.0.255.0", "", 0}, Case{"127.0.0.5", "...", "", 0},
                          Case{"127.0.0.5", "255.0.0.0", "1.2.3", 0}, Case{"", "255.0.0.0", "", 0},
                          Case{"127.0.0.5", "255.0.0.0", "bogus", 1}})
        EXPECT_EQ(SetIP(kBoiler, c.address, c.mask, c.gateway, c.dhcp), -1) << c.address << " " << c.mask;
    PumpFor(200);
    EXPECT_TRUE(EventsOf(TVPEventSetIPReply).empty());
    for (const auto &line : sim_->LogLines())
        EXPECT_EQ(line.find("setip"), std::string::npos) << line;
    // "010" is ten, never octal; the dialogs' blank gateway "..." means none
    ASSERT_EQ(SetIP(kBoiler, "127.0.0.010", "255.0.0.0", "..."), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(EventsOf(TVPEventSetIPReply).front().address, "127.0.0.10");
}

TEST_F(LibraryOnSimulator, SetIPWithDhcpAcceptsBlankStaticFields)
{
    StartSim();
    ASSERT_EQ(SetIP(kBoiler, "...", "...", "...", 1), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(Query(kBoiler).dhcp, 1);
}

TEST_F(LibraryOnSimulator, ProbeAnsweredSilentAndOffLink)
{
    StartSim();
    struct Case
    {
        const char *address;
        int expected;
        bool sent;
    };
    for (const Case &c : {Case{"127.0.0.11", 1, true}, Case{"127.0.0.14", 0, true}, Case{"127.0.0.200", 0, true},
                          Case{"192.168.77.20", 0, false}, Case{"127.0.0.1x", 0, false}, Case{"", 0, false}}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TVPPingDevice(c.address), c.expected) << c.address;
        auto took = std::chrono::steady_clock::now() - start;
        // a silent address is a definite no by the probe deadline, not a hang
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << c.address;
        if (c.sent) {
            EXPECT_TRUE(sim_->WaitForLine(std::string("to ") + c.address + ":")) << c.address;
        }
    }
    TVPPingDevice(nullptr);
    for (const auto &line : sim_->LogLines())
        EXPECT_EQ(line.find("192.168.77.20:"), std::string::npos) << "an off-link address gets no probe: " << line;
}

TEST_F(LibraryOnSimulator, DeviceIsAnnouncedOnlyOnceItsProbeHasSettled)
{
    // The host probes each device as it lists it: that probe must find the
    // result ready instead of waiting out the probe's deadline.
    StartSim();
    ASSERT_EQ(Discover(), 0);
    for (const std::string address : {"127.0.0.11", "127.0.0.14"}) {
        ASSERT_TRUE(PumpUntil([&] {
            for (const auto &e : EventsOf(TVPEventDeviceFound))
                if (e.address == address)
                    return true;
            return false;
        }));
        // no further pumping: the settled probe was logged before the answer
        EXPECT_TRUE(LogContains("probe " + address + ": answered") || LogContains("probe " + address + ": no answer"))
            << address;
    }
    EXPECT_EQ(TVPPingDevice("127.0.0.11"), 1);
    EXPECT_EQ(TVPPingDevice("127.0.0.14"), 0);
}

TEST_F(LibraryOnSimulator, ChooseFindsAFreeLoopbackAddress)
{
    StartSim();
    ASSERT_EQ(Discover(), 0);
    ASSERT_TRUE(PumpUntil([&] { return Found() >= 8; }));
    std::set<std::string> devices;
    for (const auto &e : EventsOf(TVPEventDeviceFound))
        devices.insert(e.address);
    char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
    ASSERT_EQ(TVPChooseIPAddress("lo (127.0.0.1)", address, mask, gateway), 1);
    EXPECT_EQ(std::string(mask), "255.0.0.0");
    EXPECT_EQ(std::string(gateway), "");
    uint32_t a = 0;
    ASSERT_EQ(std::sscanf(address, "127.%*u.%*u.%u", &a), 1) << address;
    EXPECT_NE(std::string(address), "127.0.0.1");
    EXPECT_NE(std::string(address), "127.255.255.255");
    EXPECT_EQ(devices.count(address), 0u) << address;
    EXPECT_EQ(TVPPingDevice(address), 0);

    // a second choice does not hand out the first one again
    char second[TVP_ADDRESS_TEXT_SIZE];
    ASSERT_EQ(TVPChooseIPAddress("lo (127.0.0.1)", second, mask, gateway), 1);
    EXPECT_STRNE(second, address);

    for (const char *unknown : {"eth99 (10.0.0.1)", "lo (10.0.0.1)", "", "lo (", "(127.0.0.1)"})
        EXPECT_EQ(TVPChooseIPAddress(unknown, address, mask, gateway), 0) << unknown;
    EXPECT_EQ(TVPChooseIPAddress(nullptr, address, mask, gateway), 0);
}

TEST_F(LibraryOnSimulator, AddressesInUseNameWhatHoldsEach)
{
    StartSim();
    const char *addresses[] = {"127.0.0.11", "127.0.0.200", "127.0.0.1", "192.168.77.20",
                               "127.0.0.0",  "1.2.3",       nullptr};
    const int32_t expected[] = {TVPAddressDevice,    TVPAddressFree,      TVPAddressOwn,      TVPAddressNotOnLink,
                                TVPAddressNotOnLink, TVPAddressNotOnLink, TVPAddressNotOnLink};
    int32_t uses[7];
    std::fill(std::begin(uses), std::end(uses), 99);
    // from a worker thread, as a window keeps its event loop free
    auto checked =
        std::async(std::launch::async, [&] { return TVPAddressesInUse("lo (127.0.0.1)", addresses, 7, uses); });
    while (checked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        TVPProcessEvents();
    ASSERT_EQ(checked.get(), 0);
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(uses[i], expected[i]) << (addresses[i] ? addresses[i] : "null");
    EXPECT_TRUE(sim_->WaitForLine("to 127.0.0.200:")) << "a free candidate is probed";

    std::fill(std::begin(uses), std::end(uses), 99);
    EXPECT_EQ(TVPAddressesInUse("eth99 (10.0.0.1)", addresses, 1, uses), -1);
    EXPECT_EQ(TVPAddressesInUse("lo (127.0.0.1)", addresses, TVP_MAX_CHECKED_ADDRESSES + 1, uses), -1);
    EXPECT_EQ(TVPAddressesInUse("lo (127.0.0.1)", nullptr, 1, uses), -1);
    EXPECT_EQ(TVPAddressesInUse(nullptr, addresses, 1, uses), -1);
    EXPECT_EQ(uses[0], 99) << "a refused call leaves the results alone";
    EXPECT_EQ(TVPAddressesInUse("lo (127.0.0.1)", addresses, 1, nullptr), -1);
}

TEST_F(LibraryOnSimulator, AutoIPMakesTheForeignDeviceReachable)
{
    StartSim();
    ASSERT_EQ(Discover(), 0);
    ASSERT_TRUE(PumpUntil([&] { return Found() >= 8; }));
    Event warehouse;
    for (const auto &e : EventsOf(TVPEventDeviceFound))
        if (e.id == kWarehouse)
            warehouse = e;
    ASSERT_EQ(TVPPingDevice(warehouse.address.c_str()), 0);
    char address[TVP_ADDRESS_TEXT_SIZE], mask[TVP_ADDRESS_TEXT_SIZE], gateway[TVP_ADDRESS_TEXT_SIZE];
    ASSERT_EQ(TVPChooseIPAddress(warehouse.iface.c_str(), address, mask, gateway), 1);
    ASSERT_EQ(SetIP(kWarehouse, address, mask, gateway), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(TVPPingDevice(address), 1);
}

TEST_F(LibraryOnSimulator, RequestsAreRetransmittedUnderLoss)
{
    StartSim({"--loss", "0.3", "--seed", "7"});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Query(kBoiler).address, "127.0.0.11") << "request " << i;
    EXPECT_TRUE(LogContains("retransmitted"));
    bool lost = false;
    for (const auto &line : sim_->LogLines())
        lost = lost || line.find("lost request") != std::string::npos;
    EXPECT_TRUE(lost) << "the simulator dropped nothing, the test proves nothing";
}

TEST_F(LibraryOnSimulator, RepeatedSetIPIsHarmless)
{
    StartSim({"--duplicate"});
    ASSERT_EQ(SetIP(kBoiler, "127.0.0.77", "255.0.0.0", ""), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    PumpFor(150);
    EXPECT_EQ(EventsOf(TVPEventSetIPReply).size(), 1u) << "the duplicate acknowledgement is dropped";
    EXPECT_TRUE(LogContains("duplicate"));
    EXPECT_EQ(Query(kBoiler).address, "127.0.0.77");
}

// Each simulated device hears only the unicasts to its own address, and
// answers them from there; moved by unicast, it answers at its new one.
TEST_F(LibraryOnSimulator, UnicastRequestsReachOnlyTheDeviceAtTheAddress)
{
    StartSim();
    auto id = Id(kBoiler);
    ASSERT_EQ(TVPGetIPAt(id.data(), "127.0.0.13"), 0);
    EXPECT_TRUE(sim_->WaitForLine("sent to 127.0.0.13, not to Boiler Room Gateway's address"));

    ASSERT_EQ(TVPSetIPAt(id.data(), "127.0.0.11", "127.0.0.111", "255.0.0.0", "127.0.0.1", 0), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventSetIPReply).empty(); }));
    EXPECT_EQ(EventsOf(TVPEventSetIPReply)[0].address, "127.0.0.111");
    ASSERT_EQ(TVPGetIPAt(id.data(), "127.0.0.111"), 0);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventGetIPReply).empty(); }));
    EXPECT_EQ(EventsOf(TVPEventGetIPReply)[0].address, "127.0.0.111");
    EXPECT_EQ(EventsOf(TVPEventGetIPReply)[0].gateway, "127.0.0.1");
    EXPECT_EQ(EventsOf(TVPEventGetIPReply).size(), 1u) << "the request to 127.0.0.13 stayed unanswered";
}

TEST_F(LibraryOnSimulator, LateAnswerIsDropped)
{
    StartSim({"--reply-delay-ms", "2800"});
    ASSERT_EQ(GetIP(kBoiler), 0);
    EXPECT_TRUE(PumpUntil([&] { return LogContains("given up"); }, 3000));
    EXPECT_TRUE(PumpUntil([&] { return LogContains("dropped a late"); }, 3000));
    EXPECT_TRUE(EventsOf(TVPEventGetIPReply).empty());
}

TEST_F(LibraryOnSimulator, MalformedAnswersAreDropped)
{
    StartSim({"--malformed", "1"});
    ASSERT_EQ(Discover(), 0);
    EXPECT_TRUE(PumpUntil([&] { return LogContains("malformed"); }));
    PumpFor(100);
    EXPECT_EQ(Found(), 0u);
}

TEST_F(LibraryOnSimulator, UnknownDeviceGetsNoAnswer)
{
    StartSim();
    ASSERT_EQ(GetIP("02:00:00:00:00:99"), 0);
    std::vector<uint8_t> bad(TVP_ID_SIZE);
    EXPECT_EQ(TVPMacToID("not a mac", bad.data()), -1);
    EXPECT_EQ(TVPGetIP(bad.data()), -1) << "a malformed ID is never sent";
    EXPECT_EQ(TVPGetIP(nullptr), -1);
    EXPECT_TRUE(sim_->WaitForLine("no such device"));
    PumpFor(100);
    EXPECT_TRUE(EventsOf(TVPEventGetIPReply).empty());
}

} // namespace

namespace {

// The upgrade's own log lines arrive during the call, between its events,
// so a log reads in the order things happened.
TEST_F(LibraryOnSimulator, UpgradeLogLinesArriveDuringTheCallInOrderWithItsEvents)
{
    StartSim();
    testsupport::TempDir dir;
    const std::string image = dir.path() + "/image.bin";
    {
        std::FILE *f = std::fopen(image.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::vector<char> bytes(20000, 'x');
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    ASSERT_EQ(TVPUpgradeDevice(image.c_str(), "127.0.0.11"), 0);
    // nothing pumped: whatever was logged came during the call
    const auto &events = Events();
    size_t firstUpgrade = events.size(), request = events.size(), result = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].code == TVPEventUpgrade && firstUpgrade == events.size())
            firstUpgrade = i;
        if (events[i].code == TVPEventLog && events[i].name.find("write request") != std::string::npos)
            request = i;
        if (events[i].code == TVPEventLog && events[i].name.find("result 0") != std::string::npos)
            result = i;
    }
    ASSERT_LT(request, events.size()) << "the request's log line came after the call";
    ASSERT_LT(result, events.size()) << "the outcome's log line came after the call";
    EXPECT_LT(request, firstUpgrade) << "the request is logged before the transfer starts";
    EXPECT_GT(result, firstUpgrade);
    EXPECT_EQ(Misdelivered(), 0);
}

} // namespace
