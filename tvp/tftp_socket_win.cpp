// SPDX-License-Identifier: MIT
// Winsock: the socket comes from the library's common opener (not
// inherited, non-blocking, ICMP port unreachable not turned into errors of
// later receives), so a device that reboots mid-transfer costs nothing
// but the lost packets.
#include "tftp_socket.h"
#include "win_socket.h"

#include <ws2tcpip.h>

namespace tvp::tftp {

net::SocketHandle Socket::OpenSystemSocket()
{
    return net::OpenUdpSocket();
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
    if (WSAGetLastError() == WSAEINTR)
        return Ready::Idle;
    Fail("select failed");
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
            Fail("receive failed");
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
