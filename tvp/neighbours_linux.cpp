// SPDX-License-Identifier: MIT
// The Linux side of "is anything at this address": the neighbour table
// over rtnetlink (read, and an entry removed where the process may), and
// ARP probes over a packet socket.
#include "os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvp::os {

namespace {

// Calls `each` with the address, link-layer address and state of every
// resolved IPv4 neighbour entry on `ifindex`; false when the table can't
// be read.
bool ForEachResolved(unsigned ifindex, const std::function<void(uint32_t, const std::string &, uint16_t)> &each)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    struct
    {
        nlmsghdr header;
        ndmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.ndm_family = AF_INET;
    request.body.ndm_ifindex = int(ifindex);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        close(fd);
        return false;
    }
    alignas(nlmsghdr) char buffer[16384];
    for (bool done = false; !done;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0)
            break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        int left = int(n);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (h->nlmsg_type != RTM_NEWNEIGH || h->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
                continue;
            const auto *nd = static_cast<const ndmsg *>(NLMSG_DATA(h));
            // the kernel may ignore the dump's interface filter
            if (nd->ndm_family != AF_INET || unsigned(nd->ndm_ifindex) != ifindex)
                continue;
            if (nd->ndm_state & (NUD_INCOMPLETE | NUD_FAILED | NUD_NONE))
                continue;
            std::optional<uint32_t> destination;
            std::string lladdr;
            int attrLeft = int(h->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
            for (auto *a = reinterpret_cast<rtattr *>(const_cast<ndmsg *>(nd) + 1); RTA_OK(a, attrLeft);
                 a = RTA_NEXT(a, attrLeft)) {
                if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) {
                    uint32_t v;
                    std::memcpy(&v, RTA_DATA(a), 4);
                    destination = ntohl(v);
                } else if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) > 0) {
                    lladdr.assign(static_cast<const char *>(RTA_DATA(a)), RTA_PAYLOAD(a));
                }
            }
            if (destination && !lladdr.empty())
                each(*destination, lladdr, nd->ndm_state);
        }
    }
    close(fd);
    return true;
}

} // namespace

std::set<uint32_t> ResolvedNeighbours(unsigned ifindex)
{
    std::set<uint32_t> resolved;
    ForEachResolved(ifindex, [&](uint32_t address, const std::string &, uint16_t) { resolved.insert(address); });
    return resolved;
}

std::optional<std::string> NeighbourHardware(unsigned ifindex, uint32_t address)
{
    std::optional<std::string> hardware;
    ForEachResolved(ifindex, [&](uint32_t a, const std::string &lladdr, uint16_t state) {
        // an entry the administrator set is no mapping the kernel learnt
        if (a == address && !(state & (NUD_PERMANENT | NUD_NOARP)))
            hardware = lladdr;
    });
    return hardware;
}

NeighbourRemoval RemoveNeighbour(unsigned ifindex, uint32_t address)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return NeighbourRemoval::Failed;
    struct
    {
        nlmsghdr header;
        ndmsg body;
        rtattr dstHeader;
        uint32_t dst;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_DELNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    request.header.nlmsg_seq = 1;
    request.body.ndm_family = AF_INET;
    request.body.ndm_ifindex = int(ifindex);
    request.dstHeader.rta_type = NDA_DST;
    request.dstHeader.rta_len = RTA_LENGTH(sizeof request.dst);
    request.dst = htonl(address);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int error = EIO;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) >= 0) {
        alignas(nlmsghdr) char buffer[1024];
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 500) > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        const auto *h = reinterpret_cast<const nlmsghdr *>(buffer);
        if (n >= ssize_t(NLMSG_LENGTH(sizeof(nlmsgerr))) && h->nlmsg_type == NLMSG_ERROR)
            error = -static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
    }
    close(fd);
    switch (error) {
    case 0: return NeighbourRemoval::Removed;
    case ENOENT: return NeighbourRemoval::Absent;
    case EPERM:
    case EACCES: return NeighbourRemoval::NotPermitted;
    default: return NeighbourRemoval::Failed;
    }
}

namespace {

struct ArpPacket
{
    uint16_t htype, ptype;
    uint8_t hlen, plen;
    uint16_t op;
    uint8_t sha[6], spa[4], tha[6], tpa[4];
} __attribute__((packed));

} // namespace

std::optional<std::set<uint32_t>> ArpProbe(unsigned ifindex, const std::vector<uint32_t> &addresses, int waitMs)
{
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP));
    if (fd < 0)
        return std::nullopt; // no CAP_NET_RAW
    ifreq ifr{};
    if (!if_indextoname(ifindex, ifr.ifr_name) || ioctl(fd, SIOCGIFHWADDR, &ifr) != 0 ||
        ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        close(fd);
        return std::nullopt;
    }
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = int(ifindex);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return std::nullopt;
    }
    sockaddr_ll broadcast = local;
    broadcast.sll_halen = 6;
    std::memset(broadcast.sll_addr, 0xff, 6);
    const std::set<uint32_t> wanted(addresses.begin(), addresses.end());
    for (uint32_t a : addresses) {
        ArpPacket p{};
        p.htype = htons(ARPHRD_ETHER);
        p.ptype = htons(ETH_P_IP);
        p.hlen = 6;
        p.plen = 4;
        p.op = htons(ARPOP_REQUEST);
        std::memcpy(p.sha, ifr.ifr_hwaddr.sa_data, 6);
        // sender 0.0.0.0: a probe that teaches no cache a wrong mapping
        const uint32_t target = htonl(a);
        std::memcpy(p.tpa, &target, 4);
        sendto(fd, &p, sizeof p, 0, reinterpret_cast<sockaddr *>(&broadcast), sizeof broadcast);
    }
    std::set<uint32_t> answered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || answered.size() == wanted.size())
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left.count())) <= 0)
            continue;
        ArpPacket p;
        ssize_t n;
        while ((n = recv(fd, &p, sizeof p, 0)) >= ssize_t(sizeof p)) {
            if (ntohs(p.ptype) != ETH_P_IP || p.plen != 4)
                continue;
            uint32_t sender;
            std::memcpy(&sender, p.spa, 4);
            sender = ntohl(sender);
            // a reply, or another host's claim of the address, both mean taken
            if (wanted.count(sender))
                answered.insert(sender);
        }
    }
    close(fd);
    return answered;
}

} // namespace tvp::os
