// SPDX-License-Identifier: MIT
#include "os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvp::os {

Notifier::~Notifier()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Notifier::Open()
{
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd_ >= 0;
}

void Notifier::Set()
{
    uint64_t one = 1;
    if (fd_ >= 0)
        (void)!write(fd_, &one, sizeof one);
}

void Notifier::Clear()
{
    uint64_t value;
    if (fd_ >= 0)
        (void)!read(fd_, &value, sizeof value);
}

bool UdpSocket::Open()
{
    fd_ = net::OpenUdpSocket();
    if (fd_ < 0)
        return false;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    // a probe to a host where nothing listens comes back as port unreachable
    setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &one, sizeof one);
    return SizeAndBind();
}

void WaitForSendQueue(net::SocketHandle s, int ms)
{
    pollfd writable{s, POLLOUT, 0};
    poll(&writable, 1, ms);
}

std::optional<net::Datagram> UdpSocket::Receive(uint8_t *buffer, size_t capacity)
{
    for (;;) {
        auto d = net::ReceiveDatagram(fd_, buffer, capacity);
        if (d || (errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH))
            return d;
        // a queued ICMP error reported in passing; the datagrams go on
    }
}

std::optional<SendError> UdpSocket::ReceiveError()
{
    uint8_t data[64];
    sockaddr_in to{};
    iovec iov{data, sizeof data};
    alignas(cmsghdr) char control[512];
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (recvmsg(fd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
        return std::nullopt;
    SendError e;
    e.destination = ntohl(to.sin_addr.s_addr);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
            continue;
        sock_extended_err err;
        if (c->cmsg_len < CMSG_LEN(sizeof err))
            continue;
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        // the offender's address follows the record
        if (c->cmsg_len >= CMSG_LEN(sizeof err + sizeof(sockaddr_in))) {
            sockaddr_in offender;
            std::memcpy(&offender, CMSG_DATA(c) + sizeof err, sizeof offender);
            if (offender.sin_family == AF_INET)
                e.offender = ntohl(offender.sin_addr.s_addr);
        }
        e.portUnreachable = err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_type == 3 && err.ee_code == 3;
    }
    return e;
}

int Wait(const UdpSocket &socket, Notifier &wake, int timeoutMs)
{
    pollfd fds[2] = {{socket.Handle(), POLLIN, 0}, {wake.Handle(), POLLIN, 0}};
    int n = poll(fds, 2, timeoutMs);
    if (n < 0)
        return errno == EINTR ? kTimeout : kFailed;
    int result = kTimeout;
    if (fds[0].revents & POLLIN)
        result |= kReadable;
    if (fds[0].revents & POLLERR)
        result |= kError;
    if (fds[1].revents & POLLIN) {
        wake.Clear();
        result |= kWoken;
    }
    return result;
}

} // namespace tvp::os
