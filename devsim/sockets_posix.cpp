// SPDX-License-Identifier: MIT
#include "sockets.h"

#include "wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devsim::sock {

std::string LoopbackName()
{
    return "lo";
}

UdpSocket OpenUdp(const UdpOptions &o, std::string *error)
{
    UdpSocket result;
    Socket s(tvp::net::OpenUdpSocket());
    if (!s.Valid()) {
        *error = "socket: " + LastError();
        return result;
    }
    const int fd = s.Get();
    int one = 1;
    if (o.broadcast)
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (o.arrivalInfo && setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0) {
        *error = std::string("IP_PKTINFO: ") + std::strerror(errno);
        return result;
    }
    if (o.foreignAddress)
        setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    if (o.receiveBuffer)
        tvp::net::EnlargeBuffer(fd, SO_RCVBUF, o.receiveBuffer);
    if (o.sendBuffer)
        tvp::net::EnlargeBuffer(fd, SO_SNDBUF, o.sendBuffer);
    if (!o.interfaceName.empty() &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, o.interfaceName.c_str(), socklen_t(o.interfaceName.size())) != 0) {
        *error = "cannot tie the socket to " + o.interfaceName + ": " + std::strerror(errno);
        return result;
    }
    if (!tvp::net::BindSocket(fd, o.address, o.port, &result.port)) {
        *error = "bind " + tvp::wire::FormatEndpoint(o.address, o.port) + ": " + LastError();
        return result;
    }
    result.socket = std::move(s);
    return result;
}

bool WaitReadable(const std::vector<SocketHandle> &sockets, int timeoutMs, std::vector<char> *ready)
{
    std::vector<pollfd> fds;
    fds.reserve(sockets.size());
    for (SocketHandle s : sockets)
        fds.push_back({s, POLLIN, 0});
    ready->assign(sockets.size(), 0);
    const int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0)
        return errno == EINTR;
    for (size_t i = 0; i < fds.size(); ++i)
        (*ready)[i] = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return true;
}

bool WaitWritable(SocketHandle socket, int timeoutMs)
{
    pollfd p{socket, POLLOUT, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

Waker::~Waker()
{
    if (read_ >= 0)
        close(read_);
    if (write_ >= 0)
        close(write_);
}

bool Waker::Open()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_ = fds[0];
    write_ = fds[1];
    return true;
}

void Waker::Set()
{
    const char c = 0;
    if (write_ >= 0)
        (void)!write(write_, &c, 1);
}

} // namespace devsim::sock
