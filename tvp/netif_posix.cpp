// SPDX-License-Identifier: MIT
// The POSIX side of the interface list, the routing table and datagram
// reception.
#include "netif.h"

#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace tvp::net {

std::vector<Interface> ListInterfaces(const std::vector<std::string> &names, std::vector<Skipped> *skipped)
{
    std::vector<Interface> result;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    // every interface appears with its link-layer entry, addresses or not
    std::vector<LinkState> links;
    for (ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_name)
            continue;
        LinkState &link = FindOrAdd(links, ifa->ifa_name);
        link.up = ifa->ifa_flags & IFF_UP;
        link.loopback = ifa->ifa_flags & IFF_LOOPBACK;
        link.broadcast = ifa->ifa_flags & IFF_BROADCAST;
        if (!link.index)
            link.index = if_nametoindex(ifa->ifa_name);
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !ifa->ifa_netmask)
            continue;
        link.ipv4 = true;
        if (!link.up || !Selected(link, names))
            continue;
        Interface i;
        i.name = ifa->ifa_name;
        i.loopback = link.loopback;
        i.index = if_nametoindex(ifa->ifa_name);
        i.address = ntohl(reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr.s_addr);
        i.mask = ntohl(reinterpret_cast<const sockaddr_in *>(ifa->ifa_netmask)->sin_addr.s_addr);
        if (i.index == 0)
            continue;
        result.push_back(i);
    }
    freeifaddrs(list);
    if (skipped)
        *skipped = SkippedLinks(links, names, result);
    return result;
}

std::string ReadRouteTable()
{
    std::ifstream in("/proc/net/route");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<uint32_t> InterfaceGateway(const Interface &iface)
{
    return DefaultGateway(ReadRouteTable(), iface.name);
}

std::string LastErrorText()
{
    return std::strerror(errno);
}

SocketHandle OpenUdpSocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

void CloseSocket(SocketHandle socket)
{
    close(socket);
}

void EnlargeBuffer(SocketHandle fd, int option, int bytes)
{
    const int forced = option == SO_SNDBUF ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
    if (setsockopt(fd, SOL_SOCKET, forced, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

std::optional<Datagram> ReceiveDatagram(SocketHandle fd, uint8_t *buffer, size_t capacity)
{
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    Datagram d;
    d.size = size_t(n);
    d.truncated = (msg.msg_flags & MSG_TRUNC) != 0 || d.size > capacity;
    d.from = ntohl(from.sin_addr.s_addr);
    d.fromPort = ntohs(from.sin_port);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.localAddress = ntohl(info.ipi_addr.s_addr);
            d.ifindex = unsigned(info.ipi_ifindex);
        }
    }
    return d;
}

bool SendDatagram(SocketHandle fd, const uint8_t *data, size_t size, uint32_t to, uint16_t port, uint32_t source,
                  unsigned ifindex)
{
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(to);
    dest.sin_port = htons(port);
    iovec iov{const_cast<uint8_t *>(data), size};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (source || ifindex) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = int(ifindex);
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n >= 0 && size_t(n) != size)
        errno = EMSGSIZE;
    return n >= 0 && size_t(n) == size;
}

} // namespace tvp::net
