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

namespace {

// A full send queue drains within this at any rate the library sends at.
constexpr int kQueueDrainMs = 20;

bool BindLoopback(SOCKET s, sockaddr_in *bound)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof *bound;
    return bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
           getsockname(s, reinterpret_cast<sockaddr *>(bound), &len) == 0;
}

void CloseSocket(net::SocketHandle &s)
{
    if (s != net::kNoSocket)
        closesocket(SOCKET(s));
    s = net::kNoSocket;
}

} // namespace

Notifier::~Notifier()
{
    CloseSocket(fd_);
    CloseSocket(writer_);
}

bool Notifier::Open()
{
    const SOCKET reader = net::OpenUdpSocket();
    const SOCKET writer = net::OpenUdpSocket();
    fd_ = reader;
    writer_ = writer;
    if (reader == INVALID_SOCKET || writer == INVALID_SOCKET)
        return false;
    sockaddr_in readerAddress{}, writerAddress{};
    // each end takes datagrams only from the other: no stranger on the host can set it
    return BindLoopback(reader, &readerAddress) && BindLoopback(writer, &writerAddress) &&
           connect(writer, reinterpret_cast<sockaddr *>(&readerAddress), sizeof readerAddress) == 0 &&
           connect(reader, reinterpret_cast<sockaddr *>(&writerAddress), sizeof writerAddress) == 0;
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

UdpSocket::~UdpSocket()
{
    Close();
}

void UdpSocket::Close()
{
    CloseSocket(fd_);
}

bool UdpSocket::Open()
{
    const SOCKET s = net::OpenUdpSocket();
    if (s == INVALID_SOCKET)
        return false;
    fd_ = s;
    const DWORD one = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one), sizeof one);
    if (setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&one), sizeof one) != 0)
        return false; // answers could not be told apart by interface
    // ten thousand answers to one broadcast arrive at once
    net::EnlargeBuffer(fd_, SO_RCVBUF, 8 << 20);
    net::EnlargeBuffer(fd_, SO_SNDBUF, 1 << 20);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0;
}

bool UdpSocket::SendTo(const std::vector<uint8_t> &bytes, uint32_t address, uint16_t port, unsigned ifindex,
                       uint32_t source)
{
    for (int attempt = 0;; ++attempt) {
        if (net::SendDatagram(fd_, bytes.data(), bytes.size(), address, port, ifindex ? source : 0, ifindex))
            return true;
        // an earlier datagram's ICMP error reported here, or a full queue:
        // one retry tells
        if (attempt > 0 || !TransientSendError(errno))
            return false;
        if (errno == EAGAIN || errno == ENOBUFS) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(SOCKET(fd_), &writable);
            timeval wait{0, kQueueDrainMs * 1000};
            select(0, nullptr, &writable, nullptr, &wait);
        }
    }
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

std::optional<uint32_t> RouteSource(uint32_t address)
{
    // connecting a UDP socket sends nothing: it only asks the routing table
    const SOCKET s = net::OpenUdpSocket();
    if (s == INVALID_SOCKET)
        return std::nullopt;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(9);
    sockaddr_in local{};
    int len = sizeof local;
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr *>(&local), &len) == 0;
    closesocket(s);
    if (!ok)
        return std::nullopt;
    return ntohl(local.sin_addr.s_addr);
}

} // namespace tvp::os
