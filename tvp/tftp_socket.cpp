// SPDX-License-Identifier: MIT
// The transfer socket's calls that read the same on every system.
#include "tftp_socket.h"

#include <cerrno>

namespace tvp::tftp {

Socket::~Socket()
{
    if (fd_ != net::kNoSocket)
        net::CloseSocket(fd_);
}

bool Socket::Open()
{
    fd_ = OpenSystemSocket();
    if (fd_ == net::kNoSocket)
        return Fail("cannot open a socket");
    if (!net::BindSocket(fd_, 0, 0))
        return Fail("cannot bind a socket");
    return true;
}

bool Socket::SendTo(const uint8_t *bytes, size_t size, uint32_t address, uint16_t port)
{
    for (;;) {
        if (net::SendDatagram(fd_, bytes, size, address, port))
            return true;
        // an ICMP error of an earlier datagram, reported here once: not this one's
        if (errno == EINTR || errno == ECONNREFUSED)
            continue;
        // a full send queue is not fatal: the packet counts as lost
        if (errno == ENOBUFS || errno == EAGAIN)
            return true;
        return Fail("send failed");
    }
}

bool Socket::Fail(const char *what)
{
    error_ = std::string(what) + ": " + net::LastErrorText();
    return false;
}

} // namespace tvp::tftp
