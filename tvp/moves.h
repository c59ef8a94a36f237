// SPDX-License-Identifier: MIT
// Neighbour entries that a re-address leaves stale. Once a device has
// moved, the PC's neighbour (ARP) entry of the address it left still names
// its card for up to a minute, so a probe of whoever holds that address now
// goes to the wrong card and reads "not reachable". The entries are removed
// where the process may; where it may not, a probe's silence there is not
// trusted while the entry is stale.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tvp {

class MovedAddresses
{
public:
    using Clock = std::chrono::steady_clock;
    // The kernel asks again by itself within about 50 s (a reachable time of
    // up to 45 s, then its own probes): an entry is watched no longer.
    static constexpr std::chrono::seconds kWatched{60};

    // One interface whose subnet holds an address.
    struct Link
    {
        unsigned ifindex = 0;
        std::string name;
    };

    explicit MovedAddresses(std::function<void(const std::string &)> log)
        : log_(std::move(log))
    {}

    // A device whose card has the link-layer address `card` (the MAC of
    // its ID) acknowledged moving from `from` (0: not known) to `to`.
    void Moved(const std::string &card, uint32_t from, const std::vector<Link> &fromLinks, uint32_t to,
               const std::vector<Link> &toLinks, Clock::time_point now);
    // Before a datagram goes to `address`: a stale entry there is removed.
    void Scrub(uint32_t address, Clock::time_point now);
    // A probe of `address` was answered: the entries of an address a device
    // left for it are stale for certain now, those of `address` itself fine.
    void Answered(uint32_t address, Clock::time_point now);
    // Whether a probe's silence at `address` means that nothing answers there.
    bool SilenceTrusted(uint32_t address, Clock::time_point now);

private:
    struct Entry
    {
        uint32_t address = 0;
        Link link;
        std::set<std::string> stale; // link-layer addresses the entry must not hold
        uint32_t movedTo = 0;        // for the address a device left: where it went
        Clock::time_point since;
        bool keptLogged = false;
    };
    void Watch(uint32_t address, const Link &link, std::set<std::string> stale, uint32_t movedTo,
               Clock::time_point now);
    bool Stale(const Entry &e) const;
    void Remove(Entry &e);
    void Expire(Clock::time_point now);

    std::function<void(const std::string &)> log_;
    std::vector<Entry> entries_;
};

} // namespace tvp
