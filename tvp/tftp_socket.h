// SPDX-License-Identifier: MIT
// The system calls of a TFTP transfer: one UDP socket, sent from, waited
// on and read, with one implementation per system.
#pragma once

#include "netif.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tvp::tftp {

// One datagram as read: `size` may exceed the buffer when the system tells
// the real length; `truncated` says the rest is gone either way.
struct Arrival
{
    size_t size = 0;
    bool truncated = false;
    uint32_t from = 0; // host byte order
    uint16_t port = 0;
};

class Socket
{
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // An ephemeral port of every local address. Every false return here
    // and below leaves the reason in Error().
    bool Open();

    // False only when the datagram cannot go at all (no route, a closed
    // socket); a full send queue loses it as the network would.
    bool SendTo(const uint8_t *bytes, size_t size, uint32_t address, uint16_t port);

    enum class Ready { Readable, Idle, Failed };
    // Up to timeoutMs for a datagram; Idle also when a signal cut it short.
    Ready Wait(int timeoutMs);

    enum class Got { Datagram, Nothing, Failed };
    // One waiting datagram, without blocking. Nothing: none after all, or
    // only the report of an ICMP error, which ends no transfer.
    Got Receive(uint8_t *buffer, size_t capacity, Arrival &arrival);

    const std::string &Error() const { return error_; }

private:
    // the system's socket for a transfer (one file per system)
    static net::SocketHandle OpenSystemSocket();
    // false, with the system's reason for `what` in Error()
    bool Fail(const char *what);

    net::SocketHandle fd_ = net::kNoSocket;
    std::string error_;
};

} // namespace tvp::tftp
