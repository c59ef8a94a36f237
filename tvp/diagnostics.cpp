// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include "tvp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tvp {

namespace {

uint32_t Saturated(uint32_t n)
{
    return n == UINT32_MAX ? n : n + 1;
}

template <size_t N>
void Put(char (&out)[N], const std::string &text)
{
    std::snprintf(out, N, "%s", text.c_str());
}

uint32_t UseOf(net::SkipReason reason)
{
    switch (reason) {
    case net::SkipReason::Down: return TVPInterfaceDown;
    case net::SkipReason::NoIPv4: return TVPInterfaceNoIPv4;
    case net::SkipReason::NoBroadcast: return TVPInterfaceNoBroadcast;
    case net::SkipReason::NotNamed: return TVPInterfaceNotNamed;
    case net::SkipReason::Loopback: return TVPInterfaceLoopback;
    case net::SkipReason::Missing: return TVPInterfaceMissing;
    case net::SkipReason::NoUsableAddress: return TVPInterfaceUnusable;
    }
    return TVPInterfaceUnusable;
}

void PutCounters(TVPInterfaceReport &r, const LinkCounters::Counters &c)
{
    r.DiscoversSent = c.discovers;
    r.SendErrors = c.sendErrors;
    r.BytesSent = c.bytesSent;
    Put(r.LastSendError, c.lastSendError);
    r.Answers = c.answers;
    r.Devices = uint32_t(c.devices.size());
    r.DroppedLate = c.late;
    r.DroppedImpossible = c.impossible;
    r.DroppedMalformed = c.malformed;
    r.DroppedDuplicate = c.duplicate;
    r.DroppedNotInUse = c.notInUse;
}

} // namespace

void LinkCounters::Sent(unsigned ifindex, size_t bytes, bool discover)
{
    Counters &c = links_[ifindex];
    c.bytesSent += bytes;
    if (discover)
        c.discovers = Saturated(c.discovers);
}

void LinkCounters::SendFailed(unsigned ifindex, const std::string &why)
{
    Counters &c = links_[ifindex];
    c.sendErrors = Saturated(c.sendErrors);
    c.lastSendError = why;
}

void LinkCounters::Answered(unsigned ifindex, const wire::DeviceId &id)
{
    Counters &c = links_[ifindex];
    c.answers = Saturated(c.answers);
    if (c.devices.size() < kMaxDevices)
        c.devices.insert(id);
}

void LinkCounters::Dropped(unsigned ifindex, Drop why)
{
    Counters &c = links_[ifindex];
    uint32_t &n = why == Drop::Late         ? c.late
                  : why == Drop::Impossible ? c.impossible
                  : why == Drop::Malformed  ? c.malformed
                  : why == Drop::Duplicate  ? c.duplicate
                                            : c.notInUse;
    n = Saturated(n);
}

const LinkCounters::Counters &LinkCounters::Of(unsigned ifindex) const
{
    static const Counters none;
    const auto it = links_.find(ifindex);
    return it == links_.end() ? none : it->second;
}

std::vector<TVPInterfaceReport> Reports(const std::vector<net::Interface> &used,
                                        const std::vector<net::Skipped> &skipped, const LinkCounters &counters)
{
    std::vector<TVPInterfaceReport> out;
    std::vector<std::string> named;
    for (const auto &i : used) {
        // an interface with several addresses is one link: one record, its first address
        if (std::find(named.begin(), named.end(), i.name) != named.end())
            continue;
        named.push_back(i.name);
        TVPInterfaceReport r{};
        Put(r.Name, i.name);
        Put(r.Address, wire::FormatDottedQuad(i.address));
        r.PrefixLength = uint32_t(std::max(wire::PrefixLength(i.mask), 0));
        r.Use = TVPInterfaceUsed;
        PutCounters(r, counters.Of(i.index));
        out.push_back(r);
    }
    for (const auto &k : skipped) {
        TVPInterfaceReport r{};
        Put(r.Name, k.name);
        r.Use = UseOf(k.code);
        Put(r.Reason, k.reason);
        if (k.index)
            PutCounters(r, counters.Of(k.index));
        out.push_back(r);
    }
    return out;
}

} // namespace tvp
