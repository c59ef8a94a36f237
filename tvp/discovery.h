// SPDX-License-Identifier: MIT
// Which discovery answers the library accepts: those to one of its own
// recent Discover requests, claiming an address a device can hold.
#pragma once

#include "netif.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tvp {

using Clock = std::chrono::steady_clock;

class DiscoveryWindow
{
public:
    // Answers to a Discover are accepted this long after it was sent: the
    // program's cycle broadcasts for two seconds and still lists a late
    // answer, while a stale transaction id can't be replayed for ever.
    static constexpr std::chrono::milliseconds kAnswerWindow{3000};
    // A unicast sweep of a /16 keeps this many transactions open at most.
    static constexpr size_t kMaxOpen = 1 << 20;

    // A Discover went out; `target` is set for one sent by unicast.
    void Sent(uint32_t txid, Clock::time_point now, std::optional<uint32_t> target = std::nullopt);
    // Whether an answer carrying `txid` from `from` belongs to an open
    // Discover (a unicast one only when it comes from its target).
    bool Accepts(uint32_t txid, uint32_t from, Clock::time_point now);
    bool Knows(uint32_t txid) const { return open_.count(txid) != 0; }
    // Whether an open Discover went by unicast (to an address the user named).
    bool Unicast(uint32_t txid) const
    {
        auto it = open_.find(txid);
        return it != open_.end() && it->second.target.has_value();
    }

private:
    void Expire(Clock::time_point now);

    struct Open
    {
        Clock::time_point sent;
        std::optional<uint32_t> target;
    };
    std::unordered_map<uint32_t, Open> open_;
    std::deque<std::pair<Clock::time_point, uint32_t>> order_;
};

// Of the interfaces a device answered on (each once, in the order first
// heard), the one it is listed with: the one whose subnet holds its address; the first
// when none or several do. Null for an empty list.
const net::Interface *ListedInterface(const std::vector<const net::Interface *> &heardOn, uint32_t address);

// Whether a device can hold `address` as seen on `arrival` (the interface
// entry the answer came in on, if known): never 0.0.0.0, a broadcast,
// multicast or class E address, loopback off the loopback interface, nor
// the network or broadcast address of the arrival subnet.
bool PlausibleDeviceAddress(uint32_t address, const net::Interface *arrival);

} // namespace tvp
