// SPDX-License-Identifier: MIT
// GetIP and SetIP requests waiting for their answer: resent on a schedule
// inside the program's 3-second wait, matched by transaction id, opcode
// and device ID.
#pragma once

#include "wire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tvp {

using Clock = std::chrono::steady_clock;

struct Request
{
    uint8_t opcode = 0;
    wire::DeviceId id{};
    std::vector<uint8_t> bytes;
    Clock::time_point start;
    size_t sent = 1; // transmissions so far
    // A unicast request goes to the device's address (0: broadcast) and is
    // answered from there; a SetIP's resends also go to the address it
    // gives the device, where a device whose answer was lost now listens.
    uint32_t to = 0;
    uint32_t alsoTo = 0;

    // Whether an answer may come from `address`.
    bool AnswerFrom(uint32_t address) const { return !to || address == to || (alsoTo && address == alsoTo); }
};

class RequestTable
{
public:
    // Resent at these offsets, given up at the deadline.
    static constexpr int kResendMs[] = {0, 300, 700, 1200, 1800};
    static constexpr std::chrono::milliseconds kDeadline{2500};

    void Add(uint32_t txid, Request request) { pending_.emplace(txid, std::move(request)); }
    bool Has(uint32_t txid) const { return pending_.count(txid) != 0; }
    const Request *Find(uint32_t txid) const
    {
        auto p = pending_.find(txid);
        return p == pending_.end() ? nullptr : &p->second;
    }

    // The request an answer from `from` completes, taken out of the table;
    // nullopt for a late, duplicate or unsolicited answer, or one from an
    // address a unicast request did not go to.
    std::optional<Request> Complete(uint32_t txid, uint8_t requestOpcode, const wire::DeviceId &id, uint32_t from);
    // Whether one of the last kRemembered requests completed was `txid`'s:
    // a later answer to it is a duplicate, not a late or unsolicited one.
    bool WasAnswered(uint32_t txid) const;
    static constexpr size_t kRemembered = 256;

    // Resends what is due and gives up what is past its deadline.
    void Tick(Clock::time_point now, const std::function<void(uint32_t, const Request &)> &resend,
              const std::function<void(uint32_t, const Request &)> &expired);
    std::optional<Clock::time_point> NextDue() const;

private:
    std::unordered_map<uint32_t, Request> pending_;
    std::deque<uint32_t> answered_;
};

} // namespace tvp
