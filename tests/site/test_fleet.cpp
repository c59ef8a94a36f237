// SPDX-License-Identifier: MIT
// The fleet-upgrade schedule, driven by scripts with time in the test's
// hand: what it starts and asks when, and each device's outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet.h"
#include "tvp.h"

namespace {

using site::FleetSchedule;
using site::FleetSettings;

enum What { Step, Finish, Answer, Cancel, Outcome, Summary };

struct Event
{
    int64_t ms;
    What what;
    size_t device = 0;
    int result = 0;
};

struct Case
{
    const char *name;
    size_t devices;
    int jobs;
    std::vector<Event> events;
    // what the steps did, and the texts asked for, one line each
    std::vector<std::string> log;
};

site::Time At(int64_t ms)
{
    return site::Time(std::chrono::milliseconds(ms));
}

std::string Line(int64_t ms, const site::FleetStep &step)
{
    std::string line = "@" + std::to_string(ms);
    if (!step.start.empty()) {
        line += " start";
        for (const auto &s : step.start)
            line += " " + std::to_string(s.device) + "/" + std::to_string(s.attempt);
    }
    if (!step.ask.empty()) {
        line += " ask";
        for (size_t d : step.ask)
            line += " " + std::to_string(d);
    }
    if (step.done)
        line += " done";
    return line;
}

std::vector<std::string> Play(const Case &c)
{
    FleetSettings settings;
    settings.jobs = c.jobs;
    FleetSchedule schedule(c.devices, settings);
    std::vector<std::string> names;
    for (size_t i = 0; i < c.devices; ++i)
        names.push_back("d" + std::to_string(i));
    std::vector<std::string> log;
    bool done = false;
    for (const Event &e : c.events) {
        switch (e.what) {
        case Step: {
            const site::FleetStep step = schedule.Step(At(e.ms));
            // a step that does nothing new is not logged; "done" only once
            if (!step.start.empty() || !step.ask.empty() || (step.done && !done))
                log.push_back(Line(e.ms, step));
            done = step.done;
            break;
        }
        case Finish: schedule.Finished(e.device, e.result, At(e.ms)); break;
        case Answer: schedule.Answered(e.device); break;
        case Cancel: schedule.Cancel(); break;
        case Outcome:
            log.push_back(std::to_string(e.device) + ": " +
                          site::OutcomeText(schedule.Device(e.device), At(e.ms), schedule.Settings()));
            break;
        case Summary: log.push_back(site::SummaryText(schedule, names)); break;
        }
    }
    return log;
}

TEST(FleetSchedule, Scripts)
{
    constexpr int OK = TVPUpgradeOK, Busy = TVPUpgradeNoAnswer;
    const Case cases[] = {
        {"N at a time, the next when one ends; one failure stops none; then every upgraded device is asked "
         "each second until it answers or 60 s are over",
         5,
         4,
         {{0, Step},
          {100, Finish, 1, TVPUpgradeDeviceError},
          {100, Step},
          {200, Finish, 0, OK},
          {200, Step},
          {300, Finish, 2, OK},
          {300, Finish, 3, OK},
          {300, Step},
          {400, Finish, 4, OK},
          {400, Step},
          {900, Step},
          {1400, Step},
          {1450, Answer, 0},
          {1450, Answer, 3},
          {1450, Answer, 4},
          {1450, Step},
          {1500, Outcome, 2},
          {2400, Step},
          {60399, Step},
          {60400, Step},
          {60400, Outcome, 0},
          {60400, Outcome, 1},
          {60400, Outcome, 2},
          {60400, Summary}},
         {"@0 start 0/1 1/1 2/1 3/1", "@100 start 4/1", "@400 ask 0 2 3 4", "@1400 ask 0 2 3 4",
          "2: Upgraded; waiting for it to answer again", "@2400 ask 2", "@60399 ask 2", "@60400 done",
          "0: Upgraded; answers again", "1: Failed: the device refused the image",
          "2: Upgraded; did not answer again within 60 s",
          "5 devices: 4 upgraded, 1 failed. Did not answer again within 60 s: d2."}},
        {"result 1: one retry after 10 s, its slot free meanwhile; no third attempt",
         2,
         1,
         {{0, Step},
          {50, Finish, 0, Busy},
          {50, Step},
          {50, Outcome, 0},
          {9100, Outcome, 0},
          {9000, Finish, 1, OK},
          {9000, Step},
          {10049, Step},
          {10050, Step},
          {10050, Outcome, 0},
          {10100, Finish, 0, Busy},
          {10100, Step},
          {10100, Answer, 1},
          {10100, Step},
          {10100, Outcome, 0},
          {10100, Summary}},
         {"@0 start 0/1", "@50 start 1/1", "0: No answer, or busy: trying again in 10 s",
          "0: No answer, or busy: trying again in 1 s", "@10050 start 0/2", "0: Sending (second attempt)",
          "@10100 ask 1", "@10100 done", "0: Failed: no answer, or the device is busy, also at the second attempt",
          "2 devices: 1 upgraded, 1 failed. It answers again."}},
        {"a retry due waits for a free slot and goes before the first attempts",
         3,
         1,
         {{0, Step},
          {10, Finish, 0, Busy},
          {10, Step},
          {20000, Step},
          {20000, Finish, 1, OK},
          {20000, Step},
          {20100, Finish, 0, OK},
          {20100, Step},
          {20100, Outcome, 0},
          {20200, Finish, 2, OK},
          {20200, Step},
          {20300, Answer, 0},
          {20300, Answer, 1},
          {20300, Answer, 2},
          {20300, Step},
          {20300, Summary}},
         {"@0 start 0/1", "@10 start 1/1", "@20000 start 0/2", "@20100 start 2/1", "0: Upgraded at the second attempt",
          "@20200 ask 0 1 2", "@20300 done",
          "3 devices: 3 upgraded (1 at the second attempt), 0 failed. All 3 answer again."}},
        {"every other result is final, and with nothing upgraded nothing is asked",
         6,
         6,
         {{0, Step},
          {10, Finish, 0, TVPUpgradeFileError},
          {10, Finish, 1, TVPUpgradeBadAddress},
          {10, Finish, 2, TVPUpgradeDeviceError},
          {10, Finish, 3, TVPUpgradeStalled},
          {10, Finish, 4, TVPUpgradeLocalError},
          {10, Finish, 5, -1},
          {20000, Step},
          {20000, Outcome, 0},
          {20000, Outcome, 1},
          {20000, Outcome, 3},
          {20000, Outcome, 4},
          {20000, Outcome, 5}},
         {"@0 start 0/1 1/1 2/1 3/1 4/1 5/1", "@20000 done", "0: Failed: the image file cannot be read",
          "1: Failed: not a device address", "3: Failed: the device stopped answering during the transfer",
          "4: Failed: no local socket for the transfer", "5: Failed: library result -1"}},
        {"cancel: nothing new starts, the running ones finish and are checked",
         5,
         2,
         {{0, Step},
          {10, Finish, 0, Busy},
          {10, Step},
          {20, Cancel},
          {20, Step},
          {11000, Step},
          {30, Finish, 1, OK},
          {30, Finish, 2, Busy},
          {11000, Step},
          {11000, Answer, 1},
          {11000, Step},
          {11000, Outcome, 0},
          {11000, Outcome, 2},
          {11000, Outcome, 3},
          {11000, Summary}},
         {"@0 start 0/1 1/1", "@10 start 2/1", "@11000 ask 1", "@11000 done",
          "0: No answer, or busy; the second attempt was cancelled",
          "2: No answer, or busy; the second attempt was cancelled", "3: Not started (cancelled)",
          "5 devices: 1 upgraded, 0 failed, 4 not started (cancelled). It answers again."}},
        {"cancel while waiting for the answers ends the wait at once",
         2,
         2,
         {{0, Step},
          {10, Finish, 0, OK},
          {10, Finish, 1, OK},
          {10, Step},
          {20, Answer, 1},
          {30, Cancel},
          {30, Step},
          {30, Outcome, 0},
          {30, Summary}},
         {"@0 start 0/1 1/1", "@10 ask 0 1", "@30 done",
          "0: Upgraded; not checked whether it answers again (cancelled)",
          "2 devices: 2 upgraded, 0 failed. Not checked whether they answer again (cancelled): d0."}},
        {"an answer before the check counts nothing; a result for a device not sending is ignored",
         1,
         0, // no jobs given: one at a time
         {{0, Step},
          {0, Answer, 0},
          {5, Finish, 0, OK},
          {6, Finish, 0, TVPUpgradeDeviceError},
          {10, Step},
          {10, Outcome, 0},
          {60009, Step},
          {60010, Step}},
         {"@0 start 0/1", "@10 ask 0", "0: Upgraded; waiting for it to answer again", "@60009 ask 0", "@60010 done"}},
        {"nothing to upgrade: done at once",
         0,
         4,
         {{0, Step}, {0, Summary}},
         {"@0 done", "0 devices: 0 upgraded, 0 failed."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Play(c), c.log);
    }
}

} // namespace
