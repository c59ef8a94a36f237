// SPDX-License-Identifier: MIT
#include "bsd_sockets.h"

namespace tvp::net {

bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port, uint16_t *bound)
{
    sockaddr_in local = SocketAddress(address, port);
    socklen_t length = sizeof local;
    if (bind(socket, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return false;
    if (!bound)
        return true;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return false;
    *bound = ntohs(local.sin_port);
    return true;
}

} // namespace tvp::net
