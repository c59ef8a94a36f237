// SPDX-License-Identifier: MIT
// Reachability probes: one small unicast datagram to an address, resent on
// a schedule that survives a lossy link, paced so that ten thousand of them
// don't overrun a receiver, and, when they react to discovery answers, paid
// for by the bytes those answers brought in.
#pragma once

#include "events.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvp {

using Clock = std::chrono::steady_clock;

class ProbeTable
{
public:
    // Sends at these offsets from the first; silence until the deadline is
    // a definite no. A LAN answers in milliseconds; the resends ride out
    // loss, the deadline a slow link, and a held answer still goes out
    // within a second of its arrival.
    static constexpr int kSendMs[] = {0, 100, 200, 320, 450};
    static constexpr std::chrono::milliseconds kDeadline{600};
    // A result this young answers again: an address is probed at most once
    // per discovery cycle (five broadcasts over two seconds).
    static constexpr std::chrono::milliseconds kFresh{2500};
    // Pacing of all probe sends.
    static constexpr double kSendsPerSecond = 50000;
    static constexpr double kBurst = 2000;
    // Credit from answers is capped, so old traffic can't fund a later flood.
    static constexpr size_t kBudgetCap = 64 * 1024;

    enum class State { Waiting, Answered, Silent };
    struct Result
    {
        State state = State::Waiting;
        bool hostAnswered = false; // an ICMP port-unreachable: a host, but no device
        unsigned answeredOn = 0;   // the interface the answer came in on
    };

    // Starts a probe unless one runs or a fresh result exists; true when it
    // started. A background probe reacts to an answer: its sends are paid
    // from the credit of answers.
    bool Start(uint32_t address, uint32_t txid, Clock::time_point now, bool background);
    // The running probe's state or a fresh result.
    std::optional<Result> Lookup(uint32_t address, Clock::time_point now) const;
    bool KnowsTxid(uint32_t txid) const { return byTxid_.count(txid) != 0; }
    // A probe answer that came in on `ifindex`; the address it settles,
    // nullopt when it is no answer to a running probe from the probed
    // address.
    std::optional<uint32_t> Answered(uint32_t txid, uint32_t from, Clock::time_point now, unsigned ifindex = 0);
    // A host at the address refused the probe's port.
    void HostAnswered(uint32_t address);
    // Drops a settled result (the address changed hands).
    void Forget(uint32_t address);

    // Discovery answers wait for their address's probe.
    bool Hold(uint32_t address, Event event);
    std::vector<Event> Release(uint32_t address);

    void Credit(size_t bytes) { credit_ = std::min(kBudgetCap, credit_ + bytes); }
    uint64_t BackgroundBytesSent() const { return backgroundBytes_; }

    // Sends what is due through `send` and settles what is past its
    // deadline through `settled`.
    void Tick(Clock::time_point now, const std::function<bool(uint32_t address, uint32_t txid)> &send,
              const std::function<void(uint32_t address, const Result &)> &settled);
    std::optional<Clock::time_point> NextDue(Clock::time_point now) const;

    // Bytes of one probe datagram, for the budget.
    static size_t ProbeBytes();

private:
    struct Probe
    {
        Result result;
        uint32_t txid = 0;
        bool background = false;
        size_t sent = 0;
        Clock::time_point first, nextSend, deadline, done;
    };
    void Settle(uint32_t address, Probe &p, State state, Clock::time_point now);
    void Unschedule(uint32_t address, const Probe &p);
    void Trim(Clock::time_point now);

    std::unordered_map<uint32_t, Probe> probes_;
    std::unordered_map<uint32_t, uint32_t> byTxid_;
    std::set<std::pair<Clock::time_point, uint32_t>> sends_, deadlines_;
    std::unordered_map<uint32_t, std::vector<Event>> held_;
    size_t heldCount_ = 0;
    double tokens_ = kBurst;
    Clock::time_point refilled_{};
    size_t credit_ = 0;
    uint64_t backgroundBytes_ = 0;
};

} // namespace tvp
