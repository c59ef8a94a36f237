// SPDX-License-Identifier: MIT
// The apply of a checked plan as a state machine: for each device, its
// previous settings read, the planned ones written, the device looked for
// at its planned address until it answers there or the verify time is up,
// and then its previous settings written back. `jobs` devices at a time;
// one device's failure never stops the others. No I/O, no threads, no
// clock: a driver sends what Advance() asks for, feeds back what came in,
// and passes the time, so the command line (pumping the library) and the
// program (on its event loop) run the same steps.
#pragma once

#include "plan.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace site {

using Clock = std::chrono::steady_clock;

struct ApplyTarget
{
    int line = 0;
    std::string id; // canonical
    Settings planned;
    // Empty: asked by ID on the link (TVPGetIP, TVPSetIP). Otherwise the
    // present address of a device behind a router, asked by unicast
    // (TVPGetIPAt, TVPSetIPAt).
    std::string reachAt;
};

struct ApplyOptions
{
    size_t jobs = 1;
    // GetIP and SetIP: the library gives up at 2.5 s; a little longer.
    std::chrono::milliseconds answerWait{3000};
    std::chrono::milliseconds verifyTimeout{30000};
    // a device not yet back is looked for again this often
    std::chrono::milliseconds lookAgain{1000};
};

// What the driver sends for the state machine.
struct ApplyRequest
{
    enum class Kind {
        GetIP,      // read `id`'s settings; by unicast to `at` when set
        SetIP,      // give `id` `settings`; by unicast to `at` when set
        Discover,   // a discovery broadcast (for a device given DHCP)
        DiscoverAt, // a Discover sent to `at`, where `id` should answer
    };
    Kind kind = Kind::Discover;
    size_t device = 0; // index in Devices(); not used by Discover
    std::string id, at;
    Settings settings;
};

enum class ApplyPhase {
    Queued,
    Reading,     // GetIP sent
    Setting,     // SetIP of the planned settings sent
    Verifying,   // acknowledged; looked for at the planned address
    RollingBack, // not back in time; SetIP of the previous settings sent
    Returning,   // that acknowledged; looked for at the previous address
    Done,
};
enum class ApplyOutcome { Pending, Applied, RolledBack, Failed };
// "applied", "rolled back", "failed", "pending"
const char *OutcomeText(ApplyOutcome outcome);

struct ApplyDevice
{
    ApplyTarget target;
    ApplyPhase phase = ApplyPhase::Queued;
    ApplyOutcome outcome = ApplyOutcome::Pending;
    std::string message; // set when Done: what happened, in words
    std::optional<Settings> previous;
    Clock::time_point started{}, finished{};
    // internal to the steps, visible for a progress display
    Clock::time_point deadline{}, nextLook{};
    bool sendDue = false;
    std::string lastSeen; // what the looks found short of success
};

class PlanApply
{
public:
    PlanApply(std::vector<ApplyTarget> targets, ApplyOptions options);

    // Moves on to `now`: gives up waits past their time, starts queued
    // devices while fewer than `jobs` are busy, and returns what to send
    // now, in order. Call it after feeding answers and at NextWake().
    std::vector<ApplyRequest> Advance(Clock::time_point now);

    // What came in. Answers that no device waits for are ignored.
    void GetIPReply(const std::string &id, const Settings &settings, Clock::time_point now);
    void SetIPReply(const std::string &id, Clock::time_point now);
    // A discovery answer: `reachable` is the probe's verdict on `ip`.
    void Found(const std::string &id, const std::string &ip, bool reachable, Clock::time_point now);
    // A request of Advance() could not be sent; `why` for the message.
    void NotSent(const ApplyRequest &request, const std::string &why, Clock::time_point now);

    // Whether a discovery answer from `id` is awaited (worth a probe).
    bool Awaits(const std::string &id) const;
    bool Done() const;
    // When Advance() has something to do without news; nullopt when done.
    std::optional<Clock::time_point> NextWake() const;

    const std::vector<ApplyDevice> &Devices() const { return devices_; }
    // Indices of the devices whose phase or outcome changed since the
    // last call, for a display that redraws only those.
    std::vector<size_t> TakeChanged();

private:
    ApplyDevice *Waiting(const std::string &id, ApplyPhase phase);
    void Enter(size_t index, ApplyPhase phase, Clock::time_point now);
    void Finish(size_t index, ApplyOutcome outcome, std::string message, Clock::time_point now);
    void Expire(size_t index, Clock::time_point now);
    void Look(Clock::time_point now, std::vector<ApplyRequest> &out);
    size_t Busy() const;
    std::string Seconds(std::chrono::milliseconds d) const;

    std::vector<ApplyDevice> devices_;
    ApplyOptions options_;
    size_t nextQueued_ = 0;
    std::vector<bool> changed_;
};

// Results as `plan apply` reports them: one per device.
std::vector<LineResult> ApplyResults(const std::vector<ApplyDevice> &devices);

} // namespace site
