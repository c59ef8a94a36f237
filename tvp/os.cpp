// SPDX-License-Identifier: MIT
// The engine socket's calls that read the same on every system.
#include "os.h"

#include "bsd_sockets.h"

#include <cerrno>

namespace tvp::os {

namespace {
// A full send queue drains within this at any rate the library sends at.
constexpr int kQueueDrainMs = 20;
} // namespace

UdpSocket::~UdpSocket()
{
    Close();
}

void UdpSocket::Close()
{
    if (fd_ != net::kNoSocket)
        net::CloseSocket(fd_);
    fd_ = net::kNoSocket;
}

bool UdpSocket::SizeAndBind()
{
    // ten thousand answers to one broadcast arrive at once
    net::EnlargeBuffer(fd_, SO_RCVBUF, 8 << 20);
    net::EnlargeBuffer(fd_, SO_SNDBUF, 1 << 20);
    return net::BindSocket(fd_, 0, 0);
}

bool UdpSocket::SendTo(const std::vector<uint8_t> &bytes, uint32_t address, uint16_t port, unsigned ifindex,
                       uint32_t source)
{
    for (int attempt = 0;; ++attempt) {
        if (net::SendDatagram(fd_, bytes.data(), bytes.size(), address, port, ifindex ? source : 0, ifindex))
            return true;
        // the error may be an earlier datagram's ICMP error, reported here
        // once, or a full queue: one retry tells, and an error of its own
        // comes back at once
        const int error = errno;
        if (attempt > 0 || !TransientSendError(error))
            return false;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS)
            WaitForSendQueue(fd_, kQueueDrainMs);
    }
}

std::optional<uint32_t> RouteSource(uint32_t address)
{
    // connecting a UDP socket sends nothing: it only asks the routing table
    const net::SocketHandle s = net::OpenUdpSocket();
    if (s == net::kNoSocket)
        return std::nullopt;
    const sockaddr_in to = net::SocketAddress(address, 9);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool ok = connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr *>(&local), &length) == 0;
    net::CloseSocket(s);
    if (!ok)
        return std::nullopt;
    return ntohl(local.sin_addr.s_addr);
}

} // namespace tvp::os
