// SPDX-License-Identifier: MIT
#include "tftp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace tvp::tftp {

net::SocketHandle Socket::OpenSystemSocket()
{
    // blocking: a send waits for room in the queue
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? net::kNoSocket : fd;
}

Socket::Ready Socket::Wait(int timeoutMs)
{
    pollfd pfd{fd_, POLLIN, 0};
    const int n = poll(&pfd, 1, timeoutMs);
    if (n > 0)
        return Ready::Readable;
    if (n == 0 || errno == EINTR)
        return Ready::Idle;
    Fail("poll failed");
    return Ready::Failed;
}

Socket::Got Socket::Receive(uint8_t *buffer, size_t capacity, Arrival &arrival)
{
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC: the real length of a datagram larger than the buffer
    const ssize_t got =
        recvfrom(fd_, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
            return Got::Nothing;
        Fail("receive failed");
        return Got::Failed;
    }
    arrival.size = static_cast<size_t>(got);
    arrival.truncated = arrival.size > capacity;
    arrival.from = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    arrival.port = ntohs(from.sin_port);
    return Got::Datagram;
}

} // namespace tvp::tftp
