// SPDX-License-Identifier: MIT
// The free-address choice of TVPChooseIPAddress without its I/O: the
// candidates of an interface's subnet, batch by batch; from what the checks
// found at each (a device's probe answer, a host's refusal, the neighbour
// table, an ARP probe) the first that nothing holds; and the addresses
// handed out lately, which stay reserved. The engine probes and asks the
// system; time comes in from the caller.
#pragma once

#include "netif.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tvp {

class AddressChooser
{
public:
    using Clock = std::chrono::steady_clock;

    // A choice stays reserved this long: the device given the address
    // answers there only once it has taken it.
    static constexpr std::chrono::milliseconds kReserved{30000};
    // Candidates are checked in parallel, a batch at a time, so the choice
    // blocks its caller for about one probe deadline per batch.
    static constexpr size_t kBatch = 16;
    static constexpr size_t kBatches = 2;

    // What the checks found at one candidate.
    struct Findings
    {
        bool deviceAnswered = false; // a device answers the probe
        bool hostRefused = false;    // a host refused the probe's port
        bool neighbour = false;      // the neighbour table holds it resolved
        bool arpAnswered = false;    // something answered an ARP probe for it
    };

    // What holds a candidate, the first check that found something (the
    // values of TVPAddressUse).
    enum class Use { Free = 0, Device = 1, Host = 2, Neighbour = 3, Arp = 4 };
    static Use Classify(const Findings &found);
    // Why a candidate is taken, for the log; nullptr when it is free.
    static const char *UseText(Use use);

    struct Verdict
    {
        std::optional<uint32_t> choice;
        std::vector<std::pair<uint32_t, const char *>> taken; // checked before the choice, with the reason
    };

    // The free-address rule's request for `iface`: its subnet, its gateway
    // when that lies in it, the addresses `known` to be devices' and the
    // reserved ones.
    net::ChooseRequest Request(const net::Interface &iface, std::optional<uint32_t> gateway,
                               const std::vector<uint32_t> &known, Clock::time_point now);
    // The candidates of batch `batch` (0 to kBatches - 1); empty when the
    // subnet has no more.
    static std::vector<uint32_t> Batch(const net::ChooseRequest &request, size_t batch);
    // The first candidate at which no check found anything; those before it
    // with their reasons. `found` lines up with `candidates`.
    static Verdict Decide(const std::vector<uint32_t> &candidates, const std::vector<Findings> &found);
    void Reserve(uint32_t address, Clock::time_point now);

private:
    std::vector<std::pair<uint32_t, Clock::time_point>> reserved_;
};

} // namespace tvp
