// SPDX-License-Identifier: MIT
// The Winsock side of the library's network calls. Windows has no eventfd:
// the notifier is a loopback UDP pair, which select() and a host's socket
// notifier can watch like any socket.
#include "os.h"
#include "win_socket.h"

#include <ws2tcpip.h>
#include <mswsock.h>

#include <cerrno>
#include <cstring>

namespace tvp::os {

Notifier::~Notifier()
{
    for (net::SocketHandle s : {fd_, writer_})
        if (s != net::kNoSocket)
            net::CloseSocket(s);
}

bool Notifier::Open()
{
    return net::OpenLoopbackPair(&fd_, &writer_);
}

void Notifier::Set()
{
    const char one = 1;
    // a full queue (WSAEWOULDBLOCK) leaves it set all the same
    if (writer_ != net::kNoSocket)
        send(SOCKET(writer_), &one, 1, 0);
}

void Notifier::Clear()
{
    char drain[16];
    if (fd_ == net::kNoSocket)
        return;
    while (recv(SOCKET(fd_), drain, sizeof drain, 0) >= 0) {
    }
}

bool UdpSocket::Open()
{
    fd_ = net::OpenUdpSocket();
    if (fd_ == net::kNoSocket)
        return false;
    const DWORD one = 1;
    const SOCKET s = SOCKET(fd_);
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one), sizeof one);
    if (setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&one), sizeof one) != 0)
        return false; // answers could not be told apart by interface
    return SizeAndBind();
}

void WaitForSendQueue(net::SocketHandle s, int ms)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(SOCKET(s), &writable);
    timeval wait{0, ms * 1000};
    select(0, nullptr, &writable, nullptr, &wait);
}

std::optional<net::Datagram> UdpSocket::Receive(uint8_t *buffer, size_t capacity)
{
    return net::ReceiveDatagram(fd_, buffer, capacity);
}

// Winsock keeps no queue of ICMP errors: with SIO_UDP_CONNRESET off they
// are dropped, and a silent host reads as one that is not there.
std::optional<SendError> UdpSocket::ReceiveError()
{
    return std::nullopt;
}

int Wait(const UdpSocket &socket, Notifier &wake, int timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(socket.Handle()), &readable);
    FD_SET(SOCKET(wake.Handle()), &readable);
    timeval limit{};
    if (timeoutMs >= 0) {
        limit.tv_sec = timeoutMs / 1000;
        limit.tv_usec = (timeoutMs % 1000) * 1000;
    }
    const int n = select(0, &readable, nullptr, nullptr, timeoutMs >= 0 ? &limit : nullptr);
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? kTimeout : kFailed;
    int result = kTimeout;
    if (FD_ISSET(SOCKET(socket.Handle()), &readable))
        result |= kReadable;
    if (FD_ISSET(SOCKET(wake.Handle()), &readable)) {
        wake.Clear();
        result |= kWoken;
    }
    return result;
}

} // namespace tvp::os
