// SPDX-License-Identifier: MIT
#include "moves.h"

#include "os.h"
#include "wire.h"

#include <algorithm>

namespace tvp {

namespace {
// SetIP acknowledgements are a user's doing; this is plenty.
constexpr size_t kMaxEntries = 256;
} // namespace

void MovedAddresses::Moved(const std::string &card, uint32_t from, const std::vector<Link> &fromLinks, uint32_t to,
                           const std::vector<Link> &toLinks, Clock::time_point now)
{
    Expire(now);
    // A device may acknowledge before it lets go of its old address, and
    // answer ARP there a moment longer: its card stays stale there.
    for (const Link &link : fromLinks) {
        std::set<std::string> stale = {card};
        if (auto held = os::NeighbourHardware(link.ifindex, from))
            stale.insert(*held);
        Watch(from, link, std::move(stale), to, now);
    }
    // whoever held the new address before is stale there, the device itself not
    for (const Link &link : toLinks)
        if (auto held = os::NeighbourHardware(link.ifindex, to); held && *held != card)
            Watch(to, link, {*held}, 0, now);
}

void MovedAddresses::Watch(uint32_t address, const Link &link, std::set<std::string> stale, uint32_t movedTo,
                           Clock::time_point now)
{
    std::erase_if(entries_, [&](const Entry &e) { return e.address == address && e.link.ifindex == link.ifindex; });
    if (entries_.size() >= kMaxEntries)
        entries_.erase(entries_.begin());
    entries_.push_back({address, link, std::move(stale), movedTo, now});
    Remove(entries_.back());
}

bool MovedAddresses::Stale(const Entry &e) const
{
    const auto held = os::NeighbourHardware(e.link.ifindex, e.address);
    return held && e.stale.count(*held);
}

void MovedAddresses::Remove(Entry &e)
{
    if (!Stale(e))
        return;
    const std::string entry = "neighbour entry of " + wire::FormatDottedQuad(e.address) + " on " + e.link.name;
    switch (os::RemoveNeighbour(e.link.ifindex, e.address)) {
    case os::NeighbourRemoval::Removed: log_(entry + " removed: the address changed hands"); break;
    case os::NeighbourRemoval::Absent: break;
    case os::NeighbourRemoval::NotPermitted:
    case os::NeighbourRemoval::Failed:
        if (!e.keptLogged)
            log_(entry + " kept (not permitted to remove it): a silent probe there is not trusted until the "
                         "kernel has resolved it again");
        e.keptLogged = true;
        break;
    }
}

void MovedAddresses::Scrub(uint32_t address, Clock::time_point now)
{
    Expire(now);
    for (Entry &e : entries_)
        if (e.address == address)
            Remove(e);
}

void MovedAddresses::Answered(uint32_t address, Clock::time_point now)
{
    Expire(now);
    // whoever answers at an address is reached: its own entry is right
    std::erase_if(entries_, [&](const Entry &e) { return e.address == address && e.movedTo == 0; });
    for (Entry &e : entries_)
        if (e.movedTo == address)
            Remove(e);
}

bool MovedAddresses::SilenceTrusted(uint32_t address, Clock::time_point now)
{
    Expire(now);
    return std::none_of(entries_.begin(), entries_.end(),
                        [&](const Entry &e) { return e.address == address && Stale(e); });
}

void MovedAddresses::Expire(Clock::time_point now)
{
    std::erase_if(entries_, [&](const Entry &e) { return now - e.since >= kWatched; });
}

} // namespace tvp
