// SPDX-License-Identifier: MIT
// The Linux side of "is anything at this address": the neighbour table
// over rtnetlink, and ARP probes over a packet socket.
#include "os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
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

std::set<uint32_t> ResolvedNeighbours(unsigned ifindex)
{
    std::set<uint32_t> resolved;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return resolved;
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
        return resolved;
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
            bool lladdr = false;
            int attrLeft = int(h->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
            for (auto *a = reinterpret_cast<rtattr *>(const_cast<ndmsg *>(nd) + 1); RTA_OK(a, attrLeft);
                 a = RTA_NEXT(a, attrLeft)) {
                if (a->rta_type == NDA_DST && RTA_PAYLOAD(a) == 4) {
                    uint32_t v;
                    std::memcpy(&v, RTA_DATA(a), 4);
                    destination = ntohl(v);
                } else if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) > 0) {
                    lladdr = true;
                }
            }
            if (destination && lladdr)
                resolved.insert(*destination);
        }
    }
    close(fd);
    return resolved;
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
