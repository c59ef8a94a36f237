// SPDX-License-Identifier: MIT
// What the library sent on each interface and what came back, for
// TVPGetDiagnostics: counters by interface index, filled into the C
// interface's records.
#pragma once

#include "netif.h"
#include "wire.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct TVPInterfaceReport;

namespace tvp {

// Why an answer was dropped.
enum class Drop { Late, Impossible, Malformed, Duplicate, NotInUse };

class LinkCounters
{
public:
    struct Counters
    {
        uint32_t discovers = 0, sendErrors = 0;
        uint64_t bytesSent = 0;
        std::string lastSendError;
        uint32_t answers = 0;
        std::set<wire::DeviceId> devices;
        uint32_t late = 0, impossible = 0, malformed = 0, duplicate = 0, notInUse = 0;
    };
    // A flood of invented IDs counts this many devices per interface at most.
    static constexpr size_t kMaxDevices = 65536;

    void Sent(unsigned ifindex, size_t bytes, bool discover);
    void SendFailed(unsigned ifindex, const std::string &why);
    void Answered(unsigned ifindex, const wire::DeviceId &id);
    void Dropped(unsigned ifindex, Drop why);
    // Nothing counted yet reads as zero.
    const Counters &Of(unsigned ifindex) const;
    void Clear() { links_.clear(); }

private:
    std::map<unsigned, Counters> links_;
};

// The records of TVPGetDiagnostics: one per interface in use (by name, its
// first address), then one per interface left out, each with its counters.
std::vector<TVPInterfaceReport> Reports(const std::vector<net::Interface> &used,
                                        const std::vector<net::Skipped> &skipped, const LinkCounters &counters);

} // namespace tvp
