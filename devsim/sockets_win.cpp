// SPDX-License-Identifier: MIT
// Winsock: select() takes as many sockets as FD_SETSIZE says, and the TFTP
// server watches one per transfer.
#define FD_SETSIZE 1024

#include "sockets.h"

#include "netif.h"
#include "win_socket.h"
#include "wire.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

namespace devsim::sock {

std::string LoopbackName()
{
    return tvp::net::LoopbackAdapterName();
}

UdpSocket OpenUdp(const UdpOptions &o, std::string *error)
{
    UdpSocket result;
    uint32_t address = o.address;
    unsigned onlyIfindex = 0;
    if (!o.interfaceName.empty()) {
        const auto found = tvp::net::ListInterfaces({o.interfaceName});
        if (found.empty()) {
            *error = "cannot tie the socket to " + o.interfaceName + ": no such interface with an IPv4 address";
            return result;
        }
        onlyIfindex = found.front().index;
        if (address == 0 && !found.front().loopback)
            address = found.front().address;
    }
    Socket s(tvp::net::OpenUdpSocket());
    if (!s.Valid()) {
        *error = "socket: " + LastError();
        return result;
    }
    const SOCKET fd = SOCKET(s.Get());
    const DWORD one = 1;
    if (o.broadcast)
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one), sizeof one);
    if ((o.arrivalInfo || onlyIfindex) &&
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&one), sizeof one) != 0) {
        *error = "IP_PKTINFO: " + LastError();
        return result;
    }
    if (o.receiveBuffer)
        tvp::net::EnlargeBuffer(s.Get(), SO_RCVBUF, o.receiveBuffer);
    if (o.sendBuffer)
        tvp::net::EnlargeBuffer(s.Get(), SO_SNDBUF, o.sendBuffer);
    if (!tvp::net::BindSocket(s.Get(), address, o.port, &result.port)) {
        *error = "bind " + tvp::wire::FormatEndpoint(address, o.port) + ": " + LastError();
        return result;
    }
    result.onlyIfindex = onlyIfindex;
    result.socket = std::move(s);
    return result;
}

bool WaitReadable(const std::vector<SocketHandle> &sockets, int timeoutMs, std::vector<char> *ready)
{
    ready->assign(sockets.size(), 0);
    if (sockets.size() > FD_SETSIZE) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    fd_set readable;
    FD_ZERO(&readable);
    for (SocketHandle s : sockets)
        FD_SET(SOCKET(s), &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n = select(0, &readable, nullptr, nullptr, timeoutMs >= 0 ? &limit : nullptr);
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR;
    for (size_t i = 0; i < sockets.size(); ++i)
        (*ready)[i] = FD_ISSET(SOCKET(sockets[i]), &readable) != 0;
    return true;
}

bool WaitWritable(SocketHandle socket, int timeoutMs)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(SOCKET(socket), &writable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, nullptr, &writable, nullptr, &limit) > 0;
}

Waker::~Waker()
{
    if (read_ != kNoSocket)
        closesocket(SOCKET(read_));
    if (write_ != kNoSocket)
        closesocket(SOCKET(write_));
}

// No pipe that select() could watch: the library's loopback pair.
bool Waker::Open()
{
    return tvp::net::OpenLoopbackPair(&read_, &write_);
}

void Waker::Set()
{
    const char c = 0;
    if (write_ != kNoSocket)
        send(SOCKET(write_), &c, 1, 0);
}

} // namespace devsim::sock
