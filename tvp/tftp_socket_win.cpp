// SPDX-License-Identifier: MIT
// Winsock: the socket comes from the library's common opener (not
// inherited, non-blocking, ICMP port unreachable not turned into errors of
// later receives), so a device that reboots mid-transfer costs nothing
// but the lost packets.
#include "tftp_socket.h"
#include "win_socket.h"
#include "win_text.h"

#include <ws2tcpip.h>

namespace tvp::tftp {

namespace {

std::string Because(const char *what, int code)
{
    return std::string(what) + ": " + win::SystemMessage(unsigned(code));
}

} // namespace

Socket::~Socket()
{
    if (fd_ != net::kNoSocket)
        closesocket(SOCKET(fd_));
}

bool Socket::Open()
{
    const SOCKET s = net::OpenUdpSocket();
    if (s == INVALID_SOCKET) {
        error_ = Because("cannot open a socket", WSAGetLastError());
        return false;
    }
    fd_ = net::SocketHandle(s);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        error_ = Because("cannot bind a socket", WSAGetLastError());
        return false;
    }
    return true;
}

bool Socket::SendTo(const uint8_t *bytes, size_t size, uint32_t address, uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    for (;;) {
        if (sendto(SOCKET(fd_), reinterpret_cast<const char *>(bytes), int(size), 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof to) != SOCKET_ERROR)
            return true;
        const int error = WSAGetLastError();
        // an ICMP error of an earlier datagram, reported here once: not this one's
        if (error == WSAEINTR || error == WSAECONNRESET)
            continue;
        if (error == WSAEWOULDBLOCK || error == WSAENOBUFS)
            return true;
        error_ = Because("send failed", error);
        return false;
    }
}

Socket::Ready Socket::Wait(int timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(fd_), &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n = select(0, &readable, nullptr, nullptr, &limit);
    if (n > 0)
        return Ready::Readable;
    if (n == 0)
        return Ready::Idle;
    const int error = WSAGetLastError();
    if (error == WSAEINTR)
        return Ready::Idle;
    error_ = Because("select failed", error);
    return Ready::Failed;
}

Socket::Got Socket::Receive(uint8_t *buffer, size_t capacity, Arrival &arrival)
{
    sockaddr_in from{};
    int fromLen = sizeof from;
    const int got = recvfrom(SOCKET(fd_), reinterpret_cast<char *>(buffer), int(capacity), 0,
                             reinterpret_cast<sockaddr *>(&from), &fromLen);
    arrival = Arrival{};
    if (got == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET || error == WSAENETRESET)
            return Got::Nothing;
        if (error != WSAEMSGSIZE) {
            error_ = Because("receive failed", error);
            return Got::Failed;
        }
        // larger than the buffer: Winsock keeps the start and drops the rest
        arrival.size = capacity;
        arrival.truncated = true;
    } else {
        arrival.size = size_t(got);
    }
    arrival.from = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    arrival.port = ntohs(from.sin_port);
    return Got::Datagram;
}

} // namespace tvp::tftp
