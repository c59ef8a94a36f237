// SPDX-License-Identifier: MIT
// The simulator's socket calls, one file per system: UDP sockets tied to
// an interface, a wait on several of them, and a waker another thread or a
// signal can set.
#pragma once

#include "netif.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace devsim::sock {

using tvp::net::kNoSocket;
using tvp::net::SocketHandle;

// Owns a socket; closes it when destroyed.
class Socket
{
public:
    Socket() = default;
    explicit Socket(SocketHandle handle)
        : handle_(handle)
    {}
    ~Socket() { Reset(); }
    Socket(Socket &&o) noexcept
        : handle_(o.handle_)
    {
        o.handle_ = kNoSocket;
    }
    Socket &operator=(Socket &&o) noexcept
    {
        if (this != &o) {
            Reset();
            std::swap(handle_, o.handle_);
        }
        return *this;
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    SocketHandle Get() const { return handle_; }
    bool Valid() const { return handle_ != kNoSocket; }
    void Reset()
    {
        if (handle_ != kNoSocket)
            tvp::net::CloseSocket(handle_);
        handle_ = kNoSocket;
    }

private:
    SocketHandle handle_ = kNoSocket;
};

struct UdpOptions
{
    // The socket hears only this interface and answers on it; empty: all.
    // Linux ties it (SO_BINDTODEVICE). Windows has no tie: a wildcard bind
    // becomes the interface's address, except on loopback, whose devices
    // hold all of 127/8; and `onlyIfindex` names the interface whose
    // datagrams alone are to be taken.
    std::string interfaceName;
    uint32_t address = 0; // host byte order; 0: every address
    uint16_t port = 0;
    bool broadcast = false;
    bool arrivalInfo = false;    // IP_PKTINFO: the local address and interface of each datagram
    bool foreignAddress = false; // may bind an address the host does not hold (Linux)
    int receiveBuffer = 0;
    int sendBuffer = 0;
};

struct UdpSocket
{
    Socket socket;
    uint16_t port = 0;
    unsigned onlyIfindex = 0; // 0: every datagram the socket receives is its own
};

// A non-blocking UDP socket that child processes don't inherit; an invalid
// socket with `error` set on failure.
UdpSocket OpenUdp(const UdpOptions &options, std::string *error);

// Whether a received datagram belongs to the socket (see UdpOptions).
inline bool Accepts(const UdpSocket &s, const tvp::net::Datagram &d)
{
    return s.onlyIfindex == 0 || d.ifindex == 0 || d.ifindex == s.onlyIfindex;
}

// Waits up to timeoutMs until one of `sockets` is readable; ready[i] tells
// which. An interrupted wait returns true with nothing ready; false: the
// wait itself failed.
bool WaitReadable(const std::vector<SocketHandle> &sockets, int timeoutMs, std::vector<char> *ready);
bool WaitWritable(SocketHandle socket, int timeoutMs);

// The name of the loopback interface ("lo" on Linux); "" when none is up.
std::string LoopbackName();

// The last socket or system error as text.
inline std::string LastError()
{
    return tvp::net::LastErrorText();
}

// Readable once set; Set is safe from any thread and from a signal handler.
class Waker
{
public:
    Waker() = default;
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    bool Open();
    SocketHandle Handle() const { return read_; }
    void Set();

private:
    SocketHandle read_ = kNoSocket;
    SocketHandle write_ = kNoSocket;
};

} // namespace devsim::sock
