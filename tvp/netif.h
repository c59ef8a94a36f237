// SPDX-License-Identifier: MIT
// Local IPv4 interfaces, the routing table and the free-address rule.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tvp::net {

// A socket as the system names it: a descriptor, or a Winsock SOCKET.
#ifdef _WIN32
using SocketHandle = uintptr_t;
#else
using SocketHandle = int;
#endif
inline constexpr SocketHandle kNoSocket = SocketHandle(-1);

// One IPv4 address of an interface; an interface with two addresses gives
// two entries.
struct Interface
{
    std::string name;
    unsigned index = 0;
    uint32_t address = 0; // host byte order
    uint32_t mask = 0;
    bool loopback = false;

    uint32_t Network() const { return address & mask; }
    // Subnet-directed broadcast computed from the mask.
    uint32_t Broadcast() const { return address | ~mask; }
    bool Contains(uint32_t a) const { return (a & mask) == Network(); }
    // The Interface text of events: "eth0 (192.168.1.10)".
    std::string Text() const;
};

// Names listed in TVP_INTERFACES (comma-separated, blanks ignored).
std::vector<std::string> SplitNames(const std::string &list);

// Why the library leaves an interface out.
enum class SkipReason { Loopback, Down, NoIPv4, NoBroadcast, NoUsableAddress, Missing, NotNamed };

// An interface the library leaves out, and why ("is down").
struct Skipped
{
    std::string name, reason;
    SkipReason code = SkipReason::NoUsableAddress;
    unsigned index = 0; // 0 for one that does not exist
    std::string Text() const { return name + " " + reason; }
};

// The interfaces the library uses. `names` empty: every up,
// broadcast-capable IPv4 interface except loopback; otherwise exactly the
// named ones that are up (loopback included when named). `skipped`, when
// given, receives the ones left out that the selection would take, every
// named one that does not exist, and last those TVP_INTERFACES leaves out
// (SkipReason::NotNamed).
std::vector<Interface> ListInterfaces(const std::vector<std::string> &names, std::vector<Skipped> *skipped = nullptr);

// What the system says of one interface, for the selection above.
struct LinkState
{
    std::string name;
    bool up = false, loopback = false, broadcast = false, ipv4 = false;
    unsigned index = 0;
};
LinkState &FindOrAdd(std::vector<LinkState> &links, const std::string &name);
bool Selected(const LinkState &link, const std::vector<std::string> &names);
std::vector<Skipped> SkippedLinks(const std::vector<LinkState> &links, const std::vector<std::string> &names,
                                  const std::vector<Interface> &used);

// Splits an Interface text into the name and the address in its last
// parentheses; a bare name is accepted too.
bool ParseInterfaceText(const std::string &text, std::string *name, std::optional<uint32_t> *address);

// The default gateway of an interface from the text of /proc/net/route.
std::optional<uint32_t> DefaultGateway(const std::string &routeTable, const std::string &ifname);
std::string ReadRouteTable(); // Linux only
// The interface's default gateway from the system's routing table.
std::optional<uint32_t> InterfaceGateway(const Interface &iface);

// The free-address rule. Candidates are the host addresses of the subnet
// of `own`/`mask`, searched from an offset derived from `seed`, upwards
// with wrap-around. A candidate is skipped when it is `own`, the gateway, in
// `taken`, or answers a probe. At most `maxProbes` candidates are probed.
struct ChooseRequest
{
    uint32_t own = 0;
    uint32_t mask = 0;
    std::optional<uint32_t> gateway;
    std::set<uint32_t> taken;
    uint32_t seed = 0;
    int maxProbes = 8;
};
std::optional<uint32_t> ChooseAddress(const ChooseRequest &request, const std::function<bool(uint32_t)> &answersProbe);
// The candidates in search order, from the skip-th on, at most `count`.
std::vector<uint32_t> Candidates(const ChooseRequest &request, size_t skip, size_t count);

// FNV-1a, the seed of the free-address rule.
uint32_t Fnv1a(const std::string &text);

// One datagram, with the local address it was sent to and the interface it
// arrived on (IP_PKTINFO, which the socket must have enabled).
struct Datagram
{
    size_t size = 0;
    bool truncated = false; // larger than the buffer: never to be parsed
    uint32_t from = 0;      // host byte order
    uint16_t fromPort = 0;
    uint32_t localAddress = 0; // 0 when the kernel gave no IP_PKTINFO
    unsigned ifindex = 0;
};

// Reads one datagram without blocking; nullopt when none is waiting.
std::optional<Datagram> ReceiveDatagram(SocketHandle fd, uint8_t *buffer, size_t capacity);

// Sends one datagram (blocking only on a blocking socket), from `source`
// (0: the system's choice) and out of interface `ifindex` (0: as the routes
// say). False with errno set when it was not sent whole.
bool SendDatagram(SocketHandle fd, const uint8_t *data, size_t size, uint32_t to, uint16_t port, uint32_t source = 0,
                  unsigned ifindex = 0);

// The error of the last socket or system call as text: strerror(errno),
// on Windows the system's message for WSAGetLastError().
std::string LastErrorText();

// A UDP socket that blocks in no call and that child processes don't
// inherit (on Windows, an ICMP port unreachable is no error of later
// receives either); kNoSocket on failure.
SocketHandle OpenUdpSocket();
void CloseSocket(SocketHandle socket);

// Binds a socket to `address`:`port` (0: every address, an ephemeral
// port); *bound, when given, receives the port it took.
bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port, uint16_t *bound = nullptr);

// Sets a socket's SO_RCVBUF or SO_SNDBUF, past the system's limit where the
// process may (the FORCE variants), within it otherwise.
void EnlargeBuffer(SocketHandle fd, int option, int bytes);

} // namespace tvp::net
