// SPDX-License-Identifier: MIT
// The operating-system calls of the library's network side, behind one
// small interface: a settable handle, a UDP socket with per-packet
// interface control, and a wait on both.
#pragma once

#include "netif.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tvp::os {

// A handle that is readable while set: the host watches it (an eventfd; on
// Windows the reading end of a loopback UDP pair).
class Notifier
{
public:
    Notifier() = default;
    ~Notifier();
    Notifier(const Notifier &) = delete;
    Notifier &operator=(const Notifier &) = delete;

    bool Open();
    net::SocketHandle Handle() const { return fd_; }
    // Safe from any thread; setting twice is setting once.
    void Set();
    void Clear();

private:
    net::SocketHandle fd_ = net::kNoSocket;
    net::SocketHandle writer_ = net::kNoSocket; // where fd_ cannot be written itself
};

// An ICMP error the kernel reported for a datagram this socket sent.
struct SendError
{
    uint32_t destination = 0;     // where the failed datagram went
    uint32_t offender = 0;        // who reported it (0: this host)
    bool portUnreachable = false; // a host there answered: nothing listens
};

class UdpSocket
{
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    // A non-blocking socket on an ephemeral port of every address, with
    // broadcast allowed, arrival interfaces reported and ICMP errors queued.
    bool Open();
    net::SocketHandle Handle() const { return fd_; }
    void Close();

    // Sends one datagram; with an ifindex it leaves by that interface from
    // `source`, whatever the routes say.
    bool SendTo(const std::vector<uint8_t> &bytes, uint32_t to, uint16_t port, unsigned ifindex = 0,
                uint32_t source = 0);
    std::optional<net::Datagram> Receive(uint8_t *buffer, size_t capacity);
    std::optional<SendError> ReceiveError();

private:
    // the buffers a burst of answers needs, and an ephemeral port of every address
    bool SizeAndBind();

    net::SocketHandle fd_ = net::kNoSocket;
};

// A send error that one retry settles: an ICMP error of an earlier
// datagram reported by this send, or a send queue that was full.
inline bool TransientSendError(int error)
{
    return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH || error == EAGAIN ||
           error == EWOULDBLOCK || error == ENOBUFS || error == EINTR;
}
// Waits up to ms until a full send queue takes a datagram again. One
// answer per system.
void WaitForSendQueue(net::SocketHandle s, int ms);

// Waits up to timeoutMs (-1: no limit) until the socket is readable or has
// an error queued, or `wake` is set (and clears it).
enum WaitResult { kTimeout = 0, kReadable = 1, kError = 2, kWoken = 4, kFailed = 8 };
int Wait(const UdpSocket &socket, Notifier &wake, int timeoutMs);

// The local address the kernel would send from to reach `address`;
// nullopt when there is no route.
std::optional<uint32_t> RouteSource(uint32_t address);

// Addresses that the kernel's neighbour table holds resolved to a
// link-layer address on interface `ifindex`: something answered ARP there.
std::set<uint32_t> ResolvedNeighbours(unsigned ifindex);

// The link-layer address that the kernel's neighbour table has learnt
// for `address` on interface `ifindex`; nullopt when it holds none
// resolved, or only an entry the administrator set.
std::optional<std::string> NeighbourHardware(unsigned ifindex, uint32_t address);

// Removes the neighbour entry of `address` on `ifindex`, so the next
// datagram there makes the kernel ask anew who holds it.
enum class NeighbourRemoval { Removed, Absent, NotPermitted, Failed };
NeighbourRemoval RemoveNeighbour(unsigned ifindex, uint32_t address);

// RFC 5227 ARP probes (sender address 0.0.0.0) for `addresses` on
// `ifindex`, answers collected for waitMs; the addresses that answered.
// nullopt when the process may not send raw frames (no CAP_NET_RAW) or the
// interface does no ARP.
std::optional<std::set<uint32_t>> ArpProbe(unsigned ifindex, const std::vector<uint32_t> &addresses, int waitMs);

} // namespace tvp::os
