// SPDX-License-Identifier: MIT
#include "probes.h"

#include "wire.h"

#include <iterator>

namespace tvp {

namespace {
// A flood of answers holds no more than this.
constexpr size_t kMaxHeld = 65536;
constexpr size_t kMaxProbes = 65536;
} // namespace

size_t ProbeTable::ProbeBytes()
{
    return wire::MinRequestSize(wire::Probe);
}

bool ProbeTable::Start(uint32_t address, uint32_t txid, Clock::time_point now, bool background)
{
    auto it = probes_.find(address);
    if (it != probes_.end()) {
        const Probe &p = it->second;
        if (p.result.state == State::Waiting || now - p.done < kFresh)
            return false;
        Unschedule(address, p);
        byTxid_.erase(p.txid);
    }
    Trim(now);
    Probe p;
    p.txid = txid;
    p.background = background;
    p.nextSend = now;
    probes_[address] = p;
    byTxid_[txid] = address;
    sends_.emplace(now, address);
    return true;
}

std::optional<ProbeTable::Result> ProbeTable::Lookup(uint32_t address, Clock::time_point now) const
{
    auto it = probes_.find(address);
    if (it == probes_.end())
        return std::nullopt;
    const Probe &p = it->second;
    if (p.result.state != State::Waiting && now - p.done >= kFresh)
        return std::nullopt;
    return p.result;
}

std::optional<uint32_t> ProbeTable::Answered(uint32_t txid, uint32_t from, Clock::time_point now, unsigned ifindex)
{
    auto t = byTxid_.find(txid);
    if (t == byTxid_.end() || t->second != from)
        return std::nullopt;
    Probe &p = probes_[from];
    if (p.result.state != State::Waiting)
        return std::nullopt;
    p.result.answeredOn = ifindex;
    Settle(from, p, State::Answered, now);
    return from;
}

void ProbeTable::HostAnswered(uint32_t address)
{
    auto it = probes_.find(address);
    if (it != probes_.end())
        it->second.result.hostAnswered = true;
}

void ProbeTable::Forget(uint32_t address)
{
    auto it = probes_.find(address);
    if (it == probes_.end() || it->second.result.state == State::Waiting)
        return;
    byTxid_.erase(it->second.txid);
    probes_.erase(it);
}

bool ProbeTable::Hold(uint32_t address, Event event)
{
    if (heldCount_ >= kMaxHeld)
        return false;
    held_[address].push_back(std::move(event));
    ++heldCount_;
    return true;
}

std::vector<Event> ProbeTable::Release(uint32_t address)
{
    auto it = held_.find(address);
    if (it == held_.end())
        return {};
    std::vector<Event> events = std::move(it->second);
    held_.erase(it);
    heldCount_ -= events.size();
    return events;
}

void ProbeTable::Settle(uint32_t address, Probe &p, State state, Clock::time_point now)
{
    Unschedule(address, p);
    p.result.state = state;
    p.done = now;
    byTxid_.erase(p.txid);
}

void ProbeTable::Unschedule(uint32_t address, const Probe &p)
{
    sends_.erase({p.nextSend, address});
    deadlines_.erase({p.deadline, address});
}

void ProbeTable::Trim(Clock::time_point now)
{
    if (probes_.size() < kMaxProbes)
        return;
    // forget old results so the table stays small
    std::erase_if(probes_, [&](const auto &e) {
        return e.second.result.state != State::Waiting && now - e.second.done >= kFresh;
    });
}

void ProbeTable::Tick(Clock::time_point now, const std::function<bool(uint32_t, uint32_t)> &send,
                      const std::function<void(uint32_t, const Result &)> &settled)
{
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const uint32_t address = deadlines_.begin()->second;
        Probe &p = probes_[address];
        Settle(address, p, State::Silent, now);
        settled(address, p.result);
    }
    if (refilled_ == Clock::time_point{})
        refilled_ = now;
    tokens_ = std::min(kBurst, tokens_ + std::chrono::duration<double>(now - refilled_).count() * kSendsPerSecond);
    refilled_ = now;
    const size_t bytes = ProbeBytes();
    while (!sends_.empty() && sends_.begin()->first <= now && tokens_ >= 1) {
        const uint32_t address = sends_.begin()->second;
        sends_.erase(sends_.begin());
        Probe &p = probes_[address];
        const bool affordable = !p.background || credit_ >= bytes;
        if (affordable && send(address, p.txid)) {
            tokens_ -= 1;
            if (p.background) {
                credit_ -= bytes;
                backgroundBytes_ += bytes;
            }
        }
        if (p.sent == 0) {
            // the schedule runs from the first send, however late pacing made it
            p.first = now;
            p.deadline = now + kDeadline;
            deadlines_.emplace(p.deadline, address);
        }
        ++p.sent;
        if (p.sent < std::size(kSendMs)) {
            p.nextSend = p.first + std::chrono::milliseconds(kSendMs[p.sent]);
            sends_.emplace(p.nextSend, address);
        }
    }
}

std::optional<Clock::time_point> ProbeTable::NextDue(Clock::time_point now) const
{
    std::optional<Clock::time_point> next;
    if (!deadlines_.empty())
        next = deadlines_.begin()->first;
    if (!sends_.empty()) {
        auto at = sends_.begin()->first;
        if (tokens_ < 1) // the next token
            at = std::max(at, now + std::chrono::microseconds(int(1e6 / kSendsPerSecond) + 1));
        next = next ? std::min(*next, at) : at;
    }
    return next;
}

} // namespace tvp
