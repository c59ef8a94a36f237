// SPDX-License-Identifier: MIT
// The apply's steps against scripted devices, with time in the test's hand:
// each outcome, the rollback, the jobs limit, devices behind a router.
#include "plan_apply.h"

#include "address.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace site;
using namespace std::chrono_literals;

namespace {

uint32_t A(const char *text)
{
    return *tvp::wire::ParseDottedQuad(text);
}

const Settings kHome{false, A("10.1.0.20"), A("255.255.255.0"), 0};
const Settings kPlanned{false, A("10.1.0.120"), A("255.255.255.0"), A("10.1.0.1")};

// A device as the test scripts it.
struct Scripted
{
    Settings now = kHome;
    Settings home = kHome;    // its settings before the apply
    bool readable = true;     // answers GetIP
    bool acknowledges = true; // acknowledges the planned settings
    bool comesBack = true;    // answers discovery once moved
    bool probeAnswers = true; // answers the probe once moved
    bool acksRollback = true; // acknowledges its previous settings
    bool returns = true;      // answers discovery again at home
    bool sendable = true;     // the library sends what is asked for it
};

struct Trace
{
    std::vector<std::pair<Clock::duration, ApplyRequest>> sent;
    std::vector<size_t> finishOrder;
    size_t mostBusy = 0;
    Clock::duration end{};
};

// Drives the steps as the command line does, jumping from one NextWake()
// to the next; answers come back at once.
Trace Drive(PlanApply &apply, std::map<std::string, Scripted> &devices)
{
    Trace run;
    const Clock::time_point start{};
    Clock::time_point t = start;
    for (int round = 0; round < 10000 && !apply.Done(); ++round) {
        for (const auto &r : apply.Advance(t)) {
            run.sent.emplace_back(t - start, r);
            auto it = devices.find(r.id);
            if (it != devices.end() && !it->second.sendable) {
                apply.NotSent(r, "no route", t);
                continue;
            }
            for (auto &[id, d] : devices) {
                const bool home = d.now == d.home;
                const bool visible = home ? d.returns : d.comesBack;
                if (r.kind == ApplyRequest::Kind::GetIP && id == r.id && d.readable)
                    apply.GetIPReply(id, d.now, t);
                if (r.kind == ApplyRequest::Kind::SetIP && id == r.id &&
                    (r.settings == d.home ? d.acksRollback : d.acknowledges)) {
                    d.now = r.settings;
                    if (d.now.dhcp)
                        d.now.ip = A("10.1.0.150");
                    apply.SetIPReply(id, t);
                }
                const std::string ip = tvp::wire::FormatDottedQuad(d.now.ip);
                if (visible && (r.kind == ApplyRequest::Kind::Discover ||
                                (r.kind == ApplyRequest::Kind::DiscoverAt && r.at == ip)))
                    apply.Found(id, ip, home || d.probeAnswers, t);
            }
        }
        size_t busy = 0;
        for (const auto &d : apply.Devices())
            busy += d.phase != ApplyPhase::Queued && d.phase != ApplyPhase::Done;
        run.mostBusy = std::max(run.mostBusy, busy);
        for (size_t i : apply.TakeChanged())
            if (apply.Devices()[i].phase == ApplyPhase::Done)
                run.finishOrder.push_back(i);
        const auto wake = apply.NextWake();
        if (!wake)
            break;
        t = std::max(t, *wake);
    }
    EXPECT_TRUE(apply.Done()) << "the steps never ended";
    run.end = t - start;
    return run;
}

size_t Count(const Trace &run, ApplyRequest::Kind kind)
{
    return size_t(
        std::count_if(run.sent.begin(), run.sent.end(), [&](const auto &s) { return s.second.kind == kind; }));
}

TEST(PlanApply, EachOutcomeOfOneDevice)
{
    const std::string id = "00:00:00:00:00:01";
    struct Case
    {
        const char *what;
        Scripted device;
        Settings planned;
        ApplyOutcome outcome;
        const char *message;
        Clock::duration end; // when it is over
        size_t setIPs;
    } cases[] = {
        {"answers at once", {}, kPlanned, ApplyOutcome::Applied, "answers at 10.1.0.120", 0s, 1},
        {"already there",
         {kPlanned},
         kPlanned,
         ApplyOutcome::Applied,
         "already had these settings; nothing was sent",
         0s,
         0},
        {"DHCP", {}, {true, 0, 0, 0}, ApplyOutcome::Applied, "answers at 10.1.0.150 (by DHCP)", 0s, 1},
        {"on DHCP already",
         {{true, A("10.1.0.77"), kHome.mask, 0}},
         {true, 0, 0, 0},
         ApplyOutcome::Applied,
         "already had these settings",
         0s,
         0},
        {"silent to GetIP",
         {.readable = false},
         kPlanned,
         ApplyOutcome::Failed,
         "did not answer the request for its settings within 3 s; nothing was changed",
         3s,
         0},
        {"no acknowledgement",
         {.acknowledges = false},
         kPlanned,
         ApplyOutcome::Failed,
         "did not acknowledge 10.1.0.120/24 gateway 10.1.0.1 within 3 s",
         3s,
         1},
        {"never back",
         {.comesBack = false},
         kPlanned,
         ApplyOutcome::RolledBack,
         "did not come back at 10.1.0.120 within 30 s; its previous settings were written back and it answers at "
         "10.1.0.20 again",
         30s,
         2},
        {"back but silent to the probe",
         {.probeAnswers = false},
         kPlanned,
         ApplyOutcome::RolledBack,
         "did not come back at 10.1.0.120 within 30 s (it answers discovery at 10.1.0.120 but not the probe)",
         30s,
         2},
        {"rollback refused",
         {.comesBack = false, .acksRollback = false},
         kPlanned,
         ApplyOutcome::Failed,
         "within 30 s, and did not acknowledge its previous settings 10.1.0.20/24; find it with a discovery",
         33s,
         2},
        {"gone for good",
         {.comesBack = false, .returns = false},
         kPlanned,
         ApplyOutcome::RolledBack,
         "its previous settings 10.1.0.20/24 were written back, but it does not answer there either",
         60s,
         2},
        {"nothing sent",
         {.sendable = false},
         kPlanned,
         ApplyOutcome::Failed,
         "its settings could not be asked for (no route); nothing was changed",
         0s,
         0},
    };
    for (const auto &c : cases) {
        std::map<std::string, Scripted> devices{{id, c.device}};
        PlanApply apply({{2, id, c.planned, {}}}, {});
        const Trace run = Drive(apply, devices);
        const ApplyDevice &d = apply.Devices().front();
        EXPECT_EQ(d.outcome, c.outcome) << c.what << ": " << d.message;
        EXPECT_NE(d.message.find(c.message), std::string::npos) << c.what << ": " << d.message;
        EXPECT_EQ(run.end, c.end) << c.what;
        EXPECT_EQ(Count(run, ApplyRequest::Kind::SetIP), c.setIPs) << c.what;
        EXPECT_EQ(ApplyResults(apply.Devices()).front().outcome, OutcomeText(c.outcome)) << c.what;
    }
}

TEST(PlanApply, JobsAtATimeAndOneFailureStopsNoOther)
{
    std::map<std::string, Scripted> devices;
    std::vector<ApplyTarget> targets;
    for (int i = 0; i < 10; ++i) {
        const std::string id = "00:00:00:00:00:1" + std::to_string(i);
        const Settings home{false, A("10.1.0.20") + uint32_t(i), kHome.mask, 0};
        devices[id] = Scripted{home, home};
        devices[id].comesBack = i != 1;
        targets.push_back({i + 2, id, {false, A("10.1.0.120") + uint32_t(i), kHome.mask, 0}, {}});
    }
    ApplyOptions options;
    options.jobs = 3;
    options.verifyTimeout = 5s;
    PlanApply apply(targets, options);
    const Trace run = Drive(apply, devices);
    EXPECT_EQ(run.mostBusy, 3u);
    ASSERT_EQ(run.finishOrder.size(), 10u);
    EXPECT_EQ(run.finishOrder.back(), 1u) << "the others went on while it was awaited";
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(apply.Devices()[i].outcome, i == 1 ? ApplyOutcome::RolledBack : ApplyOutcome::Applied) << i;
}

TEST(PlanApply, DeviceBehindARouterIsAskedAtItsAddress)
{
    const std::string id = "00:00:00:00:00:0F";
    std::map<std::string, Scripted> devices{{id, Scripted{.comesBack = false}}};
    PlanApply apply({{2, id, kPlanned, "10.1.0.20"}}, {});
    const Trace run = Drive(apply, devices);
    EXPECT_EQ(apply.Devices().front().outcome, ApplyOutcome::RolledBack);
    std::vector<std::string> asked;
    for (const auto &[when, r] : run.sent)
        asked.push_back(std::to_string(int(r.kind)) + " " + r.at);
    asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
    // GetIP and SetIP at its address, looked for at the planned one, written
    // back there, looked for at home
    EXPECT_EQ(asked,
              (std::vector<std::string>{"0 10.1.0.20", "1 10.1.0.20", "3 10.1.0.120", "1 10.1.0.120", "3 10.1.0.20"}));
    EXPECT_EQ(Count(run, ApplyRequest::Kind::Discover), 0u) << "no broadcast reaches it";
}

} // namespace
