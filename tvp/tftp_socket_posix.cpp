// SPDX-License-Identifier: MIT
#include "tftp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvp::tftp {

namespace {

std::string Because(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

Socket::~Socket()
{
    if (fd_ != net::kNoSocket)
        close(fd_);
}

bool Socket::Open()
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fd_ = net::kNoSocket;
        error_ = Because("cannot open a socket");
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        error_ = Because("cannot bind a socket");
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
        if (sendto(fd_, bytes, size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >= 0)
            return true;
        if (errno == EINTR)
            continue;
        // a full send queue is not fatal: the packet counts as lost
        if (errno == ENOBUFS || errno == EAGAIN)
            return true;
        error_ = Because("send failed");
        return false;
    }
}

Socket::Ready Socket::Wait(int timeoutMs)
{
    pollfd pfd{fd_, POLLIN, 0};
    const int n = poll(&pfd, 1, timeoutMs);
    if (n > 0)
        return Ready::Readable;
    if (n == 0 || errno == EINTR)
        return Ready::Idle;
    error_ = Because("poll failed");
    return Ready::Failed;
}

Socket::Got Socket::Receive(uint8_t *buffer, size_t capacity, Arrival &arrival)
{
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC: the real length of a datagram larger than the buffer
    const ssize_t got = recvfrom(fd_, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
            return Got::Nothing;
        error_ = Because("receive failed");
        return Got::Failed;
    }
    arrival.size = static_cast<size_t>(got);
    arrival.truncated = arrival.size > capacity;
    arrival.from = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    arrival.port = ntohs(from.sin_port);
    return Got::Datagram;
}

} // namespace tvp::tftp
