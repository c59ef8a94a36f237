// SPDX-License-Identifier: MIT
#include "chooser.h"

#include <algorithm>

namespace tvp {

net::ChooseRequest AddressChooser::Request(const net::Interface &iface, std::optional<uint32_t> gateway,
                                           const std::vector<uint32_t> &known, Clock::time_point now)
{
    net::ChooseRequest r;
    r.own = iface.address;
    r.mask = iface.mask;
    if (gateway && iface.Contains(*gateway))
        r.gateway = gateway;
    r.seed = net::Fnv1a(iface.Text());
    r.taken.insert(known.begin(), known.end());
    std::erase_if(reserved_, [&](const auto &c) { return now - c.second > kReserved; });
    for (const auto &c : reserved_)
        r.taken.insert(c.first);
    return r;
}

std::vector<uint32_t> AddressChooser::Batch(const net::ChooseRequest &request, size_t batch)
{
    return batch < kBatches ? net::Candidates(request, batch * kBatch, kBatch) : std::vector<uint32_t>{};
}

AddressChooser::Verdict AddressChooser::Decide(const std::vector<uint32_t> &candidates,
                                               const std::vector<Findings> &found)
{
    Verdict v;
    for (size_t i = 0; i < candidates.size() && i < found.size(); ++i) {
        const Findings &f = found[i];
        const char *why = f.deviceAnswered ? "a device answers there"
                          : f.hostRefused  ? "a host refused the probe"
                          : f.neighbour    ? "a host answers ARP there"
                          : f.arpAnswered  ? "a host answers an ARP probe"
                                           : nullptr;
        if (!why) {
            v.choice = candidates[i];
            break;
        }
        v.taken.emplace_back(candidates[i], why);
    }
    return v;
}

void AddressChooser::Reserve(uint32_t address, Clock::time_point now)
{
    reserved_.emplace_back(address, now);
}

} // namespace tvp
