// SPDX-License-Identifier: MIT
// The BSD socket calls that Winsock shares (socket addresses, bind,
// connect, getsockname, setsockopt), for code written once for both
// systems. What differs between them stays in the per-system files.
#pragma once

#include "netif.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace tvp::net {

// An IPv4 socket address; host byte order in.
inline sockaddr_in SocketAddress(uint32_t address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

} // namespace tvp::net
