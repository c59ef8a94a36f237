// SPDX-License-Identifier: MIT
// The Windows side of the interface list, the routing table and datagram
// reception: IP Helper and Winsock.
#include "address.h"
#include "bsd_sockets.h"
#include "netif.h"
#include "win_adapters.h"
#include "win_socket.h"
#include "win_text.h"

#include <ws2tcpip.h>
#include <mswsock.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace tvp::net {

bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int SocketErrno()
{
    int e;
    switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK: e = EAGAIN; break;
    case WSAEINTR: e = EINTR; break;
    case WSAEACCES: e = EACCES; break;
    case WSAEADDRNOTAVAIL: e = EADDRNOTAVAIL; break;
    case WSAENETUNREACH: e = ENETUNREACH; break;
    case WSAEHOSTUNREACH: e = EHOSTUNREACH; break;
    case WSAENETDOWN: e = ENETDOWN; break;
    case WSAECONNRESET: e = ECONNREFUSED; break;
    case WSAEMSGSIZE: e = EMSGSIZE; break;
    case WSAENOBUFS: e = ENOBUFS; break;
    case WSAEINVAL: e = EINVAL; break;
    case WSANOTINITIALISED: e = ENETDOWN; break;
    default: e = EIO; break;
    }
    errno = e;
    return e;
}

SocketHandle OpenUdpSocket()
{
    if (!StartWinsock())
        return kNoSocket;
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    u_long nonBlocking = 1;
    BOOL reportReset = FALSE;
    DWORD returned = 0;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0 || WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset,
                                                               nullptr, 0, &returned, nullptr, nullptr) != 0) {
        closesocket(s);
        return kNoSocket;
    }
    return SocketHandle(s);
}

std::string LastErrorText()
{
    return win::SystemMessage(WSAGetLastError());
}

void CloseSocket(SocketHandle socket)
{
    closesocket(SOCKET(socket));
}

bool OpenLoopbackPair(SocketHandle *reader, SocketHandle *writer)
{
    *reader = OpenUdpSocket();
    *writer = OpenUdpSocket();
    if (*reader == kNoSocket || *writer == kNoSocket)
        return false;
    const uint32_t loopback = 0x7f000001;
    uint16_t readerPort = 0, writerPort = 0;
    if (!BindSocket(*reader, loopback, 0, &readerPort) || !BindSocket(*writer, loopback, 0, &writerPort))
        return false;
    const sockaddr_in readerAddress = SocketAddress(loopback, readerPort);
    const sockaddr_in writerAddress = SocketAddress(loopback, writerPort);
    return connect(SOCKET(*writer), reinterpret_cast<const sockaddr *>(&readerAddress), sizeof readerAddress) == 0 &&
           connect(SOCKET(*reader), reinterpret_cast<const sockaddr *>(&writerAddress), sizeof writerAddress) == 0;
}

namespace {

// Interface kinds that carry no broadcast: they are used only when named.
bool PointToPoint(IFTYPE type)
{
    return type == IF_TYPE_PPP || type == IF_TYPE_TUNNEL || type == IF_TYPE_SOFTWARE_LOOPBACK;
}

LPFN_WSARECVMSG RecvMsgFunction(SOCKET s)
{
    // one provider serves every IPv4 UDP socket: the pointer is the same for all
    static std::atomic<LPFN_WSARECVMSG> cached{nullptr};
    LPFN_WSARECVMSG f = cached.load();
    if (f)
        return f;
    GUID id = WSAID_WSARECVMSG;
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &f, sizeof f, &returned, nullptr, nullptr) != 0)
        return nullptr;
    cached.store(f);
    return f;
}

} // namespace

std::vector<Interface> ListInterfaces(const std::vector<std::string> &names, std::vector<Skipped> *skipped)
{
    std::vector<Interface> result;
    const win::Adapters adapters(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    std::vector<LinkState> links;
    for (auto *a = adapters.First(); a; a = a->Next) {
        Interface base;
        base.name = win::Utf8(a->FriendlyName);
        base.index = a->IfIndex;
        base.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        if (base.name.empty() || a->IfIndex == 0)
            continue;
        LinkState &link = FindOrAdd(links, base.name);
        link.up = a->OperStatus == IfOperStatusUp;
        link.loopback = base.loopback;
        link.broadcast = !PointToPoint(a->IfType);
        link.index = a->IfIndex;
        for (auto *u = a->FirstUnicastAddress; u; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET || u->OnLinkPrefixLength > 32)
                continue;
            link.ipv4 = true;
            // an address still being checked for conflicts, or found in use, is not ours
            if (u->DadState == IpDadStateDuplicate || u->DadState == IpDadStateInvalid ||
                u->DadState == IpDadStateTentative)
                continue;
            if (!link.up || !Selected(link, names))
                continue;
            Interface i = base;
            i.address = ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr);
            i.mask = wire::MaskOf(u->OnLinkPrefixLength);
            result.push_back(i);
        }
    }
    if (skipped)
        *skipped = SkippedLinks(links, names, result);
    return result;
}

std::optional<uint32_t> InterfaceGateway(const Interface &iface)
{
    MIB_IPFORWARD_TABLE2 *table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR || !table)
        return std::nullopt;
    std::optional<uint32_t> best;
    ULONG bestMetric = 0;
    for (ULONG k = 0; k < table->NumEntries; ++k) {
        const MIB_IPFORWARD_ROW2 &row = table->Table[k];
        if (row.InterfaceIndex != iface.index || row.DestinationPrefix.PrefixLength != 0 ||
            row.DestinationPrefix.Prefix.si_family != AF_INET || row.NextHop.si_family != AF_INET)
            continue;
        const uint32_t hop = ntohl(row.NextHop.Ipv4.sin_addr.s_addr);
        if (hop == 0)
            continue; // on-link default: no gateway
        if (!best || row.Metric < bestMetric) {
            best = hop;
            bestMetric = row.Metric;
        }
    }
    FreeMibTable(table);
    return best;
}

void EnlargeBuffer(SocketHandle fd, int option, int bytes)
{
    // Windows grows its buffers on demand; asking only raises the floor
    setsockopt(SOCKET(fd), SOL_SOCKET, option, reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

std::optional<Datagram> ReceiveDatagram(SocketHandle fd, uint8_t *buffer, size_t capacity)
{
    const SOCKET s = SOCKET(fd);
    const LPFN_WSARECVMSG recvMsg = RecvMsgFunction(s);
    if (!recvMsg) {
        SocketErrno();
        return std::nullopt;
    }
    for (;;) {
        sockaddr_in from{};
        WSABUF data{ULONG(capacity), reinterpret_cast<char *>(buffer)};
        alignas(WSACMSGHDR) char control[256];
        WSAMSG msg{};
        msg.name = reinterpret_cast<sockaddr *>(&from);
        msg.namelen = sizeof from;
        msg.lpBuffers = &data;
        msg.dwBufferCount = 1;
        msg.Control.buf = control;
        msg.Control.len = sizeof control;
        DWORD got = 0;
        bool truncated = false;
        if (recvMsg(s, &msg, &got, nullptr, nullptr) != 0) {
            const int error = WSAGetLastError();
            // an ICMP error of an earlier send, reported in passing; the datagrams go on
            if (error == WSAECONNRESET || error == WSAENETRESET)
                continue;
            if (error != WSAEMSGSIZE) {
                SocketErrno();
                return std::nullopt;
            }
            // the rest of a larger datagram is gone: this one is never to be parsed
            truncated = true;
            got = DWORD(capacity);
        }
        Datagram d;
        d.size = got;
        d.truncated = truncated || (msg.dwFlags & MSG_TRUNC) != 0;
        d.from = ntohl(from.sin_addr.s_addr);
        d.fromPort = ntohs(from.sin_port);
        for (WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&msg); c; c = WSA_CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
                c->cmsg_len >= WSA_CMSG_LEN(sizeof(IN_PKTINFO))) {
                IN_PKTINFO info;
                std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
                d.localAddress = ntohl(info.ipi_addr.s_addr);
                d.ifindex = unsigned(info.ipi_ifindex);
            }
        }
        return d;
    }
}

bool SendDatagram(SocketHandle fd, const uint8_t *data, size_t size, uint32_t to, uint16_t port, uint32_t source,
                  unsigned ifindex)
{
    const SOCKET s = SOCKET(fd);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(to);
    dest.sin_port = htons(port);
    WSABUF buffer{ULONG(size), reinterpret_cast<char *>(const_cast<uint8_t *>(data))};
    WSAMSG msg{};
    msg.name = reinterpret_cast<sockaddr *>(&dest);
    msg.namelen = sizeof dest;
    msg.lpBuffers = &buffer;
    msg.dwBufferCount = 1;
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    if (source || ifindex) {
        msg.Control.buf = control;
        msg.Control.len = sizeof control;
        WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
        IN_PKTINFO info{};
        info.ipi_ifindex = ifindex;
        info.ipi_addr.s_addr = htonl(source);
        std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
    }
    // Windows takes the interface of IP_PKTINFO; Wine does not, and sends a
    // limited broadcast by the routes, which may have none for it
    const DWORD outIndex = htonl(ifindex);
    const bool pinned = ifindex && setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char *>(&outIndex),
                                              sizeof outIndex) == 0;
    DWORD sent = 0;
    const bool ok = WSASendMsg(s, &msg, 0, &sent, nullptr, nullptr) == 0;
    if (!ok)
        SocketErrno();
    if (pinned) {
        const int saved = errno;
        const DWORD none = 0;
        setsockopt(s, IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char *>(&none), sizeof none);
        errno = saved;
    }
    if (ok && sent != size)
        errno = EMSGSIZE;
    return ok && sent == size;
}

std::string LoopbackAdapterName()
{
    const win::Adapters adapters(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST);
    for (auto *a = adapters.First(); a; a = a->Next)
        if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK && a->OperStatus == IfOperStatusUp)
            if (std::string name = win::Utf8(a->FriendlyName); !name.empty())
                return name;
    return {};
}

} // namespace tvp::net
