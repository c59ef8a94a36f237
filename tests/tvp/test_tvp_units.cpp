// SPDX-License-Identifier: MIT
// The engine's units on their own, with time in the test's hand: the probe
// schedule, its pace and budget, the discovery window, the request table,
// the free-address choice.
#include "chooser.h"
#include "discovery.h"
#include "probes.h"
#include "requests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

using namespace std::chrono_literals;

namespace {

const tvp::Clock::time_point t0 = tvp::Clock::time_point{} + 1h;

struct ProbeRun
{
    tvp::ProbeTable table;
    std::multimap<uint32_t, tvp::Clock::duration> sends; // address, when
    std::map<uint32_t, tvp::ProbeTable::State> settled;

    void Tick(tvp::Clock::duration at)
    {
        table.Tick(
            t0 + at,
            [&](uint32_t address, uint32_t) {
                sends.emplace(address, at);
                return true;
            },
            [&](uint32_t address, const tvp::ProbeTable::Result &r) { settled[address] = r.state; });
    }
    void RunUntil(tvp::Clock::duration end)
    {
        for (auto at = 0ms; at <= end; at += 1ms)
            Tick(at);
    }
};

TEST(ProbeTable, ASilentAddressGetsEverySendThenADefiniteNoAtTheDeadline)
{
    ProbeRun run;
    ASSERT_TRUE(run.table.Start(0x0a000005, 7, t0, false));
    EXPECT_FALSE(run.table.Start(0x0a000005, 8, t0, false)) << "one probe at a time";
    run.RunUntil(1s);
    std::vector<tvp::Clock::duration> at;
    for (auto [a, when] : run.sends)
        at.push_back(when);
    ASSERT_EQ(at.size(), std::size(tvp::ProbeTable::kSendMs));
    for (size_t i = 0; i < at.size(); ++i)
        EXPECT_EQ(at[i], std::chrono::milliseconds(tvp::ProbeTable::kSendMs[i]));
    EXPECT_EQ(run.settled.at(0x0a000005), tvp::ProbeTable::State::Silent);
    auto r = run.table.Lookup(0x0a000005, t0 + 1s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, tvp::ProbeTable::State::Silent) << "a fresh result answers again";
    EXPECT_FALSE(run.table.Lookup(0x0a000005, t0 + 700ms + tvp::ProbeTable::kFresh));
}

TEST(ProbeTable, OnlyAnAnswerFromTheProbedAddressSettlesIt)
{
    ProbeRun run;
    run.table.Start(0x0a000005, 7, t0, false);
    run.Tick(0ms);
    EXPECT_FALSE(run.table.Answered(7, 0x0a000006, t0 + 5ms)) << "another host can't answer for it";
    EXPECT_FALSE(run.table.Answered(8, 0x0a000005, t0 + 5ms)) << "nor another transaction";
    EXPECT_EQ(run.table.Answered(7, 0x0a000005, t0 + 5ms), 0x0a000005u);
    run.RunUntil(1s);
    EXPECT_EQ(run.sends.size(), 1u) << "no resend after the answer";
    EXPECT_EQ(run.table.Lookup(0x0a000005, t0 + 1s)->state, tvp::ProbeTable::State::Answered);
}

TEST(ProbeTable, PacingDelaysFirstSendsButEachScheduleRunsFromItsOwnFirstSend)
{
    ProbeRun run;
    const int n = int(tvp::ProbeTable::kBurst) * 3;
    for (int i = 0; i < n; ++i)
        run.table.Start(0x0a010000 + uint32_t(i), uint32_t(100 + i), t0, false);
    run.RunUntil(2s);
    // the last one waited for its turn, yet got its full deadline and every send
    const uint32_t last = 0x0a010000 + uint32_t(n - 1);
    EXPECT_GT(run.sends.lower_bound(last)->second, 10ms);
    EXPECT_EQ(run.sends.count(last), std::size(tvp::ProbeTable::kSendMs));
    EXPECT_EQ(run.settled.size(), size_t(n));
    // never more than the pace allows in any 10 ms
    std::map<long, int> perWindow;
    for (auto [a, when] : run.sends)
        ++perWindow[std::chrono::duration_cast<std::chrono::milliseconds>(when).count() / 10];
    for (auto [window, count] : perWindow)
        EXPECT_LE(count, int(tvp::ProbeTable::kBurst + tvp::ProbeTable::kSendsPerSecond / 100 + 1)) << window;
}

TEST(ProbeTable, BackgroundProbesSpendNoMoreThanTheAnswersBroughtIn)
{
    ProbeRun run;
    // one 22-byte answer pays for one probe and a bit: the resends wait for credit
    run.table.Credit(22);
    run.table.Start(0x0a000009, 9, t0, true);
    run.RunUntil(1s);
    EXPECT_EQ(run.sends.size(), 22u / tvp::ProbeTable::ProbeBytes());
    EXPECT_LE(run.table.BackgroundBytesSent(), 22u);
    EXPECT_EQ(run.settled.at(0x0a000009), tvp::ProbeTable::State::Silent) << "it still settles by its deadline";
    // the host's own probe is not a reaction: it is never held back
    ProbeRun host;
    host.table.Start(0x0a000009, 9, t0, false);
    host.RunUntil(1s);
    EXPECT_EQ(host.sends.size(), std::size(tvp::ProbeTable::kSendMs));
    EXPECT_EQ(host.table.BackgroundBytesSent(), 0u);
}

TEST(ProbeTable, HeldAnswersAreReleasedOnceAndTheHoldIsBounded)
{
    tvp::ProbeTable table;
    tvp::Event e;
    e.code = 1;
    EXPECT_TRUE(table.Hold(5, e));
    EXPECT_TRUE(table.Hold(5, e));
    EXPECT_EQ(table.Release(5).size(), 2u);
    EXPECT_TRUE(table.Release(5).empty());
    size_t held = 0;
    while (table.Hold(uint32_t(held), e) && held < 1000000)
        ++held;
    EXPECT_LT(held, 1000000u) << "a flood can't hold answers without bound";
}

TEST(DiscoveryWindow, AnswersBelongToARecentDiscoverAndAUnicastOneOnlyToItsTarget)
{
    tvp::DiscoveryWindow w;
    w.Sent(1, t0);
    w.Sent(2, t0, 0x0a000002);
    EXPECT_TRUE(w.Accepts(1, 0x0a000099, t0 + 100ms));
    EXPECT_FALSE(w.Accepts(3, 0x0a000099, t0 + 100ms)) << "never sent";
    EXPECT_TRUE(w.Accepts(2, 0x0a000002, t0 + 100ms));
    EXPECT_FALSE(w.Accepts(2, 0x0a000003, t0 + 100ms)) << "a unicast Discover is answered by its target";
    EXPECT_FALSE(w.Accepts(1, 0x0a000099, t0 + tvp::DiscoveryWindow::kAnswerWindow)) << "expired";
}

TEST(DiscoveryWindow, OnlyAddressesADeviceCanHoldArePlausible)
{
    tvp::net::Interface eth{"eth0", 2, 0x0a3d0001, 0xffffff00, false};
    tvp::net::Interface lo{"lo", 1, 0x7f000001, 0xff000000, true};
    struct Case
    {
        uint32_t address;
        const tvp::net::Interface *on;
        bool plausible;
    };
    for (const Case &c : {Case{0x0a3d000a, &eth, true}, Case{0xc0a84d14, &eth, true}, Case{0x00000000, &eth, false},
                          Case{0xffffffff, &eth, false}, Case{0xe0000001, &eth, false}, Case{0xf0000001, &eth, false},
                          Case{0x0a3d0000, &eth, false}, Case{0x0a3d00ff, &eth, false}, Case{0x7f000005, &eth, false},
                          Case{0x7f000005, &lo, true}, Case{0x7fffffff, &lo, false}, Case{0xc0a84d14, &lo, true},
                          Case{0x0a3d00ff, nullptr, true}})
        EXPECT_EQ(tvp::PlausibleDeviceAddress(c.address, c.on), c.plausible) << std::hex << c.address;
}

TEST(RequestTable, ResentOnScheduleCompletedOnceGivenUpAtTheDeadline)
{
    tvp::RequestTable table;
    tvp::wire::DeviceId id{1, 2, 3, 4, 5, 6, 0, 0};
    table.Add(10, {tvp::wire::GetIP, id, {}, t0, 1});
    table.Add(11, {tvp::wire::SetIP, id, {}, t0, 1});
    int resent = 0;
    std::vector<uint32_t> expired;
    for (auto at = 0ms; at <= 3s; at += 10ms)
        table.Tick(
            t0 + at, [&](uint32_t txid, const tvp::Request &) { resent += txid == 10; },
            [&](uint32_t txid, const tvp::Request &) { expired.push_back(txid); });
    EXPECT_EQ(resent, int(std::size(tvp::RequestTable::kResendMs)) - 1);
    EXPECT_EQ(expired.size(), 2u);
    const uint32_t anywhere = 0x0a3d0063;
    table.Add(12, {tvp::wire::GetIP, id, {}, t0, 1});
    EXPECT_FALSE(table.Complete(12, tvp::wire::SetIP, id, anywhere)) << "the opcode must match";
    EXPECT_FALSE(table.Complete(12, tvp::wire::GetIP, tvp::wire::DeviceId{}, anywhere)) << "and the device";
    EXPECT_TRUE(table.Complete(12, tvp::wire::GetIP, id, anywhere)) << "a broadcast is answered from anywhere";
    EXPECT_FALSE(table.Complete(12, tvp::wire::GetIP, id, anywhere)) << "a duplicate answer completes nothing";
}

TEST(AddressChooser, TheFirstCandidateNoCheckFoundTakenIsChosen)
{
    using F = tvp::AddressChooser::Findings;
    const F free{}, device{true, false, false, false}, refused{false, true, false, false},
        neighbour{false, false, true, false}, arp{false, false, false, true};
    struct Case
    {
        std::vector<F> found;
        std::optional<uint32_t> choice;
        std::vector<const char *> reasons;
    };
    for (const Case &c : {Case{{free, device}, 1, {}},
                          Case{{device, refused, neighbour, arp, free, free},
                               5,
                               {"a device answers there", "a host refused the probe", "a host answers ARP there",
                                "a host answers an ARP probe"}},
                          Case{{F{true, true, true, true}, arp},
                               std::nullopt,
                               {"a device answers there", "a host answers an ARP probe"}}}) {
        std::vector<uint32_t> candidates;
        for (uint32_t i = 1; i <= c.found.size(); ++i)
            candidates.push_back(i);
        const auto v = tvp::AddressChooser::Decide(candidates, c.found);
        EXPECT_EQ(v.choice, c.choice);
        ASSERT_EQ(v.taken.size(), c.reasons.size());
        for (size_t i = 0; i < v.taken.size(); ++i) {
            EXPECT_EQ(v.taken[i].first, i + 1);
            EXPECT_STREQ(v.taken[i].second, c.reasons[i]);
        }
    }
}

TEST(AddressChooser, SkipsOwnGatewayDevicesAndRecentChoicesUntilTheirReservationEnds)
{
    tvp::AddressChooser chooser;
    const tvp::net::Interface eth{"eth0", 2, 0xc0a80101, 0xfffffff8, false}; // 192.168.1.1/29: .1 to .6
    auto candidates = [&](tvp::Clock::time_point now, std::optional<uint32_t> gateway) {
        std::vector<uint32_t> all;
        const auto r = chooser.Request(eth, gateway, {0xc0a80103}, now);
        for (size_t batch = 0;; ++batch) {
            const auto b = tvp::AddressChooser::Batch(r, batch);
            if (b.empty())
                break;
            all.insert(all.end(), b.begin(), b.end());
        }
        std::sort(all.begin(), all.end());
        return all;
    };
    EXPECT_EQ(candidates(t0, 0xc0a80102), (std::vector<uint32_t>{0xc0a80104, 0xc0a80105, 0xc0a80106}));
    EXPECT_EQ(candidates(t0, 0x0a000001), (std::vector<uint32_t>{0xc0a80102, 0xc0a80104, 0xc0a80105, 0xc0a80106}))
        << "a gateway off the subnet is none";
    chooser.Reserve(0xc0a80105, t0);
    EXPECT_EQ(candidates(t0 + tvp::AddressChooser::kReserved, 0xc0a80102),
              (std::vector<uint32_t>{0xc0a80104, 0xc0a80106}));
    EXPECT_EQ(candidates(t0 + tvp::AddressChooser::kReserved + 1ms, 0xc0a80102),
              (std::vector<uint32_t>{0xc0a80104, 0xc0a80105, 0xc0a80106}));
    const tvp::net::Interface wide{"eth1", 3, 0x0a000001, 0xffff0000, false};
    const auto r = chooser.Request(wide, {}, {}, t0);
    EXPECT_EQ(tvp::AddressChooser::Batch(r, tvp::AddressChooser::kBatches - 1).size(), tvp::AddressChooser::kBatch);
    EXPECT_TRUE(tvp::AddressChooser::Batch(r, tvp::AddressChooser::kBatches).empty()) << "no more batches than that";
}

} // namespace
