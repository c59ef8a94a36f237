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

AddressChooser::Use AddressChooser::Classify(const Findings &f)
{
    return f.deviceAnswered ? Use::Device
           : f.hostRefused  ? Use::Host
           : f.neighbour    ? Use::Neighbour
           : f.arpAnswered  ? Use::Arp
                            : Use::Free;
}

const char *AddressChooser::UseText(Use use)
{
    switch (use) {
    case Use::Device: return "a device answers there";
    case Use::Host: return "a host refused the probe";
    case Use::Neighbour: return "a host answers ARP there";
    case Use::Arp: return "a host answers an ARP probe";
    case Use::Free: break;
    }
    return nullptr;
}

AddressChooser::Verdict AddressChooser::Decide(const std::vector<uint32_t> &candidates,
                                               const std::vector<Findings> &found)
{
    Verdict v;
    for (size_t i = 0; i < candidates.size() && i < found.size(); ++i) {
        const char *why = UseText(Classify(found[i]));
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
