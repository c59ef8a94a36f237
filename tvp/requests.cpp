// SPDX-License-Identifier: MIT
#include "requests.h"

#include <algorithm>
#include <iterator>

namespace tvp {

namespace {

Clock::time_point DueAt(const Request &r)
{
    return r.sent < std::size(RequestTable::kResendMs)
               ? r.start + std::chrono::milliseconds(RequestTable::kResendMs[r.sent])
               : r.start + RequestTable::kDeadline;
}

} // namespace

std::optional<Request> RequestTable::Complete(uint32_t txid, uint8_t requestOpcode, const wire::DeviceId &id,
                                              uint32_t from)
{
    auto p = pending_.find(txid);
    if (p == pending_.end() || p->second.opcode != requestOpcode || p->second.id != id || !p->second.AnswerFrom(from))
        return std::nullopt;
    Request r = std::move(p->second);
    pending_.erase(p);
    if (answered_.size() >= kRemembered)
        answered_.pop_front();
    answered_.push_back(txid);
    return r;
}

bool RequestTable::WasAnswered(uint32_t txid) const
{
    return std::find(answered_.begin(), answered_.end(), txid) != answered_.end();
}

void RequestTable::Tick(Clock::time_point now, const std::function<void(uint32_t, const Request &)> &resend,
                        const std::function<void(uint32_t, const Request &)> &expired)
{
    for (auto it = pending_.begin(); it != pending_.end();) {
        Request &r = it->second;
        if (now - r.start >= kDeadline) {
            expired(it->first, r);
            it = pending_.erase(it);
            continue;
        }
        if (r.sent < std::size(kResendMs) && now >= DueAt(r)) {
            ++r.sent;
            resend(it->first, r);
        }
        ++it;
    }
}

std::optional<Clock::time_point> RequestTable::NextDue() const
{
    std::optional<Clock::time_point> next;
    for (const auto &[txid, r] : pending_)
        next = next ? std::min(*next, DueAt(r)) : DueAt(r);
    return next;
}

} // namespace tvp
