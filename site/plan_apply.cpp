// SPDX-License-Identifier: MIT
#include "plan_apply.h"

#include "address.h"

#include <algorithm>
#include <cstdio>

namespace site {

namespace {

std::string Quad(uint32_t a)
{
    return tvp::wire::FormatDottedQuad(a);
}

bool Busy(ApplyPhase p)
{
    return p != ApplyPhase::Queued && p != ApplyPhase::Done;
}

bool Looking(ApplyPhase p)
{
    return p == ApplyPhase::Verifying || p == ApplyPhase::Returning;
}

// Where a device is expected to answer: its planned address, or its
// previous one after a rollback; nullopt for DHCP (anywhere).
std::optional<uint32_t> Expected(const ApplyDevice &d)
{
    const Settings &s = d.phase == ApplyPhase::Returning ? *d.previous : d.target.planned;
    return s.dhcp ? std::nullopt : std::optional<uint32_t>(s.ip);
}

// Settings a device already has: two DHCP settings are the same whatever
// lease each holds.
bool Same(const Settings &a, const Settings &b)
{
    return a.dhcp && b.dhcp ? true : a == b;
}

} // namespace

const char *OutcomeText(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyOutcome::Applied: return "applied";
    case ApplyOutcome::RolledBack: return "rolled back";
    case ApplyOutcome::Failed: return "failed";
    case ApplyOutcome::Pending: break;
    }
    return "pending";
}

PlanApply::PlanApply(std::vector<ApplyTarget> targets, ApplyOptions options)
    : options_(options),
      changed_(targets.size(), false)
{
    options_.jobs = std::max<size_t>(1, options_.jobs);
    for (auto &t : targets) {
        devices_.emplace_back();
        devices_.back().target = std::move(t);
    }
}

std::string PlanApply::Seconds(std::chrono::milliseconds d) const
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", double(d.count()) / 1000);
    return text;
}

size_t PlanApply::Busy() const
{
    return size_t(
        std::count_if(devices_.begin(), devices_.end(), [](const ApplyDevice &d) { return site::Busy(d.phase); }));
}

void PlanApply::Enter(size_t i, ApplyPhase phase, Clock::time_point now)
{
    ApplyDevice &d = devices_[i];
    d.phase = phase;
    changed_[i] = true;
    if (phase == ApplyPhase::Reading)
        d.started = now;
    if (Looking(phase)) {
        d.deadline = now + options_.verifyTimeout;
        d.nextLook = now;
        d.lastSeen.clear();
    } else {
        d.deadline = now + options_.answerWait;
        d.sendDue = true;
    }
}

void PlanApply::Finish(size_t i, ApplyOutcome outcome, std::string message, Clock::time_point now)
{
    ApplyDevice &d = devices_[i];
    d.phase = ApplyPhase::Done;
    d.outcome = outcome;
    d.message = std::move(message);
    d.finished = now;
    d.sendDue = false;
    changed_[i] = true;
}

void PlanApply::Expire(size_t i, Clock::time_point now)
{
    ApplyDevice &d = devices_[i];
    const std::string wait = Seconds(options_.answerWait), verify = Seconds(options_.verifyTimeout);
    const std::string planned = SettingsText(d.target.planned);
    const std::string notBack =
        (d.target.planned.dhcp ? "did not come back by DHCP" : "did not come back at " + Quad(d.target.planned.ip)) +
        " within " + verify + (d.lastSeen.empty() ? std::string() : " (" + d.lastSeen + ")");
    switch (d.phase) {
    case ApplyPhase::Reading:
        return Finish(i, ApplyOutcome::Failed,
                      "did not answer the request for its settings within " + wait + "; nothing was changed", now);
    case ApplyPhase::Setting:
        return Finish(i, ApplyOutcome::Failed,
                      "did not acknowledge " + planned + " within " + wait + " (no answer, or it refused them)", now);
    case ApplyPhase::Verifying: d.message = notBack; return Enter(i, ApplyPhase::RollingBack, now);
    case ApplyPhase::RollingBack:
        return Finish(i, ApplyOutcome::Failed,
                      d.message + ", and did not acknowledge its previous settings " + SettingsText(*d.previous) +
                          "; find it with a discovery",
                      now);
    case ApplyPhase::Returning:
        return Finish(i, ApplyOutcome::RolledBack,
                      d.message + "; its previous settings " + SettingsText(*d.previous) +
                          " were written back, but it does not answer there either" +
                          (d.lastSeen.empty() ? std::string() : " (" + d.lastSeen + ")"),
                      now);
    case ApplyPhase::Queued:
    case ApplyPhase::Done: break;
    }
}

void PlanApply::Look(Clock::time_point now, std::vector<ApplyRequest> &out)
{
    bool broadcast = false;
    for (size_t i = 0; i < devices_.size(); ++i) {
        ApplyDevice &d = devices_[i];
        if (!Looking(d.phase) || d.nextLook > now)
            continue;
        d.nextLook = now + options_.lookAgain;
        // Asked where it should be: that reaches it behind a router too,
        // and a hundred devices looked for don't each make every device
        // answer a broadcast. DHCP leaves the address to find.
        if (const auto at = Expected(d))
            out.push_back({ApplyRequest::Kind::DiscoverAt, i, d.target.id, Quad(*at), {}});
        else
            broadcast = true;
    }
    if (broadcast)
        out.push_back({ApplyRequest::Kind::Discover, 0, {}, {}, {}});
}

std::vector<ApplyRequest> PlanApply::Advance(Clock::time_point now)
{
    for (size_t i = 0; i < devices_.size(); ++i)
        if (site::Busy(devices_[i].phase) && devices_[i].deadline <= now)
            Expire(i, now);
    for (size_t busy = Busy(); busy < options_.jobs && nextQueued_ < devices_.size(); ++busy)
        Enter(nextQueued_++, ApplyPhase::Reading, now);

    std::vector<ApplyRequest> out;
    for (size_t i = 0; i < devices_.size(); ++i) {
        ApplyDevice &d = devices_[i];
        if (!d.sendDue)
            continue;
        d.sendDue = false;
        const ApplyTarget &t = d.target;
        if (d.phase == ApplyPhase::Reading)
            out.push_back({ApplyRequest::Kind::GetIP, i, t.id, t.reachAt, {}});
        else if (d.phase == ApplyPhase::Setting)
            out.push_back({ApplyRequest::Kind::SetIP, i, t.id, t.reachAt, t.planned});
        else if (d.phase == ApplyPhase::RollingBack)
            // a device behind a router took the planned address: only there can it hear us
            out.push_back(
                {ApplyRequest::Kind::SetIP, i, t.id, t.reachAt.empty() ? "" : Quad(t.planned.ip), *d.previous});
    }
    Look(now, out);
    return out;
}

ApplyDevice *PlanApply::Waiting(const std::string &id, ApplyPhase phase)
{
    for (auto &d : devices_)
        if (d.phase == phase && d.target.id == id)
            return &d;
    return nullptr;
}

void PlanApply::GetIPReply(const std::string &id, const Settings &settings, Clock::time_point now)
{
    ApplyDevice *d = Waiting(id, ApplyPhase::Reading);
    if (!d)
        return;
    const size_t i = size_t(d - devices_.data());
    d->previous = settings;
    if (Same(settings, d->target.planned))
        return Finish(i, ApplyOutcome::Applied, "already had these settings; nothing was sent", now);
    Enter(i, ApplyPhase::Setting, now);
}

void PlanApply::SetIPReply(const std::string &id, Clock::time_point now)
{
    if (ApplyDevice *d = Waiting(id, ApplyPhase::Setting))
        Enter(size_t(d - devices_.data()), ApplyPhase::Verifying, now);
    else if (ApplyDevice *back = Waiting(id, ApplyPhase::RollingBack))
        Enter(size_t(back - devices_.data()), ApplyPhase::Returning, now);
}

void PlanApply::Found(const std::string &id, const std::string &ip, bool reachable, Clock::time_point now)
{
    for (size_t i = 0; i < devices_.size(); ++i) {
        ApplyDevice &d = devices_[i];
        if (d.target.id != id || !Looking(d.phase))
            continue;
        const auto at = Expected(d);
        const bool there = !at || ip == Quad(*at);
        if (there && reachable) {
            const std::string answers = "answers at " + ip + (at ? "" : " (by DHCP)");
            if (d.phase == ApplyPhase::Verifying)
                return Finish(i, ApplyOutcome::Applied, answers, now);
            return Finish(i, ApplyOutcome::RolledBack,
                          d.message + "; its previous settings were written back and it " + answers + " again", now);
        }
        d.lastSeen = there ? "it answers discovery at " + ip + " but not the probe" : "it answers at " + ip;
        return;
    }
}

void PlanApply::NotSent(const ApplyRequest &request, const std::string &why, Clock::time_point now)
{
    if (request.kind == ApplyRequest::Kind::Discover || request.device >= devices_.size())
        return;
    ApplyDevice &d = devices_[request.device];
    switch (d.phase) {
    case ApplyPhase::Reading:
        return Finish(request.device, ApplyOutcome::Failed,
                      "its settings could not be asked for (" + why + "); nothing was changed", now);
    case ApplyPhase::Setting:
        return Finish(request.device, ApplyOutcome::Failed,
                      SettingsText(d.target.planned) + " could not be sent (" + why + "); nothing was changed", now);
    case ApplyPhase::RollingBack:
        return Finish(request.device, ApplyOutcome::Failed,
                      d.message + ", and its previous settings could not be sent (" + why + ")", now);
    case ApplyPhase::Verifying:
    case ApplyPhase::Returning: d.lastSeen = "the look for it could not be sent: " + why; return;
    case ApplyPhase::Queued:
    case ApplyPhase::Done: break;
    }
}

bool PlanApply::Awaits(const std::string &id) const
{
    return std::any_of(devices_.begin(), devices_.end(),
                       [&](const ApplyDevice &d) { return Looking(d.phase) && d.target.id == id; });
}

bool PlanApply::Done() const
{
    return std::all_of(devices_.begin(), devices_.end(),
                       [](const ApplyDevice &d) { return d.phase == ApplyPhase::Done; });
}

std::optional<Clock::time_point> PlanApply::NextWake() const
{
    if (Done())
        return std::nullopt;
    if (nextQueued_ < devices_.size() && Busy() < options_.jobs)
        return Clock::time_point::min();
    std::optional<Clock::time_point> wake;
    auto earlier = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
    for (const auto &d : devices_) {
        if (!site::Busy(d.phase))
            continue;
        earlier(d.sendDue ? Clock::time_point::min() : d.deadline);
        if (Looking(d.phase))
            earlier(d.nextLook);
    }
    return wake;
}

std::vector<size_t> PlanApply::TakeChanged()
{
    std::vector<size_t> out;
    for (size_t i = 0; i < changed_.size(); ++i)
        if (changed_[i]) {
            changed_[i] = false;
            out.push_back(i);
        }
    return out;
}

std::vector<LineResult> ApplyResults(const std::vector<ApplyDevice> &devices)
{
    std::vector<LineResult> results;
    for (const auto &d : devices)
        results.push_back(
            {d.target.line, d.target.id, SettingsText(d.target.planned), OutcomeText(d.outcome), d.message});
    return results;
}

} // namespace site
