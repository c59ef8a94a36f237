// SPDX-License-Identifier: MIT
// A UDP relay on loopback that impairs what it forwards: loss, duplication,
// reordering and delay, drawn from a seed. It stands between a TFTP client
// and a server and follows the transfer-id change: every port the server
// answers from gets a port of its own on the relay, so the client sees the
// same port changes it would see without the relay.
#pragma once

#include <cstdint>
#include <memory>

namespace testsupport {

struct Impairment
{
    double loss = 0;      // share of datagrams dropped, each way
    double duplicate = 0; // share of datagrams sent twice
    // share of datagrams held back until the next one of the same flow has
    // overtaken them (or, when none comes, for holdMs)
    double reorder = 0;
    int holdMs = 2;
    int delayMs = 0; // added to every datagram, each way
    uint32_t seed = 1;
};

// What passed, counted before the impairment is applied.
struct RelayCounts
{
    uint64_t fromClient = 0;
    uint64_t fromServer = 0;
    uint64_t dataFromClient = 0; // TFTP DATA packets among fromClient
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
};

class UdpRelay
{
public:
    // Listens on 127.0.0.1 and an ephemeral port; a client's first datagram
    // goes to serverAddress (host order) : serverPort.
    UdpRelay(uint32_t serverAddress, uint16_t serverPort, Impairment impairment);
    ~UdpRelay();
    UdpRelay(const UdpRelay &) = delete;
    UdpRelay &operator=(const UdpRelay &) = delete;

    uint16_t port() const;
    RelayCounts counts() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace testsupport
