// SPDX-License-Identifier: MIT
#include "discovery.h"

#include "address.h"

namespace tvp {

void DiscoveryWindow::Sent(uint32_t txid, Clock::time_point now, std::optional<uint32_t> target)
{
    Expire(now);
    while (open_.size() >= kMaxOpen && !order_.empty()) {
        open_.erase(order_.front().second);
        order_.pop_front();
    }
    open_[txid] = Open{now, target};
    order_.emplace_back(now, txid);
}

bool DiscoveryWindow::Accepts(uint32_t txid, uint32_t from, Clock::time_point now)
{
    Expire(now);
    auto it = open_.find(txid);
    if (it == open_.end())
        return false;
    return !it->second.target || *it->second.target == from;
}

void DiscoveryWindow::Expire(Clock::time_point now)
{
    while (!order_.empty() && now - order_.front().first >= kAnswerWindow) {
        auto it = open_.find(order_.front().second);
        // a transaction id drawn again later has its own, newer entry
        if (it != open_.end() && it->second.sent == order_.front().first)
            open_.erase(it);
        order_.pop_front();
    }
}

const net::Interface *ListedInterface(const std::vector<const net::Interface *> &heardOn, uint32_t address)
{
    const net::Interface *holding = nullptr;
    size_t holders = 0;
    for (const net::Interface *i : heardOn)
        if (i->Contains(address)) {
            holding = i;
            ++holders;
        }
    if (holders == 1)
        return holding;
    return heardOn.empty() ? nullptr : heardOn.front();
}

bool PlausibleDeviceAddress(uint32_t a, const net::Interface *arrival)
{
    if (!wire::IsUnicast(a))
        return false;
    if (arrival && wire::IsLoopback(a) && !arrival->loopback)
        return false;
    return !(arrival && arrival->Contains(a) && wire::IsNetworkOrBroadcast(a, arrival->mask));
}

} // namespace tvp
