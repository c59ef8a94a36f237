// SPDX-License-Identifier: MIT
#include "server.h"

#include "netif.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace devsim {

namespace wire = tvp::wire;
using Clock = std::chrono::steady_clock;

namespace {

const Device *DeviceAt(const std::vector<Device> &devices, uint32_t address)
{
    for (const auto &d : devices)
        if (d.address == address)
            return &d;
    return nullptr;
}

// Whether a destination is a broadcast address of the link: the limited
// one or a subnet's of an address on the interface (all of them when the
// socket is tied to none). Interfaces are read again at most once a second.
bool IsBroadcastOn(const std::string &interface, uint32_t destination)
{
    static std::vector<uint32_t> broadcasts;
    static Clock::time_point readAt;
    if (destination == wire::kLimitedBroadcast)
        return true;
    if (broadcasts.empty() || Clock::now() - readAt > std::chrono::seconds(1)) {
        broadcasts.clear();
        const auto ifaces = tvp::net::ListInterfaces(interface.empty() ? std::vector<std::string>{}
                                                                       : std::vector<std::string>{interface});
        for (const auto &i : ifaces)
            broadcasts.push_back(i.Broadcast());
        readAt = Clock::now();
    }
    return std::find(broadcasts.begin(), broadcasts.end(), destination) != broadcasts.end();
}

// A device answers unicast Discovers at most kRate a second (bursts of
// kBurst), so a flood of them can't keep it busy or make it a reflector.
class AnswerBudget
{
public:
    static constexpr double kRate = 10, kBurst = 10;
    bool Take(uint32_t device, Clock::time_point now)
    {
        auto [it, fresh] = buckets_.try_emplace(device, Bucket{kBurst, now});
        Bucket &b = it->second;
        if (!fresh) {
            b.tokens = std::min(kBurst, b.tokens + std::chrono::duration<double>(now - b.at).count() * kRate);
            b.at = now;
        }
        if (b.tokens < 1)
            return false;
        b.tokens -= 1;
        return true;
    }

private:
    struct Bucket
    {
        double tokens;
        Clock::time_point at;
    };
    std::unordered_map<uint32_t, Bucket> buckets_;
};

AnswerBudget g_unicastDiscoverBudget;

} // namespace

Server::Server(ServerConfig config, std::vector<Device> devices)
    : config_(std::move(config)), devices_(std::move(devices)), random_(config_.seed), started_(Clock::now())
{
}

Server::~Server() = default;

void Server::Log(const std::string &line)
{
    if (config_.log)
        config_.log(line);
}

bool Server::Open(std::string *error)
{
    sock::UdpOptions options;
    options.interfaceName = config_.interface;
    options.port = config_.port;
    options.broadcast = true;
    options.arrivalInfo = true;
    // a scan of a thousand devices sends a thousand probes at once
    options.receiveBuffer = options.sendBuffer = 4 << 20;
    if (!wire::ParseDottedQuad(config_.bindAddress.c_str(), &options.address)) {
        *error = "bad bind address " + config_.bindAddress;
        return false;
    }
    socket_ = sock::OpenUdp(options, error);
    if (!socket_.socket.Valid())
        return false;
    port_ = socket_.port;
    return true;
}

std::optional<UpgradeBehaviour> Server::BehaviourAt(uint32_t address)
{
    std::lock_guard lock(mu_);
    for (const auto &d : devices_)
        if (d.address == address)
            return d.upgrade;
    return std::nullopt;
}

void Server::Run(const volatile bool *stop, sock::SocketHandle stopSocket)
{
    std::vector<sock::SocketHandle> watched{socket_.socket.Get()};
    if (stopSocket != sock::kNoSocket)
        watched.push_back(stopSocket);
    std::vector<char> ready;
    while (!*stop) {
        int timeout = 100;
        if (!outgoing_.empty()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(outgoing_.top().at - Clock::now()).count();
            timeout = int(std::max<long long>(0, std::min<long long>(wait + 1, timeout)));
        }
        if (!sock::WaitReadable(watched, timeout, &ready)) {
            Log("waiting for requests failed: " + sock::LastError());
            return;
        }
        if (watched.size() > 1 && ready[1])
            return;
        if (ready[0])
            ReceiveAll();
        SendDue();
    }
}

void Server::ReceiveAll()
{
    for (int round = 0; round < 1024; ++round) {
        uint8_t buffer[wire::kMaxMessage + 1];
        const auto d = tvp::net::ReceiveDatagram(socket_.socket.Get(), buffer, sizeof buffer);
        if (!d)
            return;
        if (!sock::Accepts(socket_, *d))
            continue; // another link's: the socket is tied to this one
        if (d->truncated || d->size > wire::kMaxMessage) {
            Log("ignored an oversized datagram from " + wire::FormatDottedQuad(d->from));
            continue;
        }
        Handle(buffer, d->size, d->from, d->fromPort, d->localAddress, d->ifindex);
    }
}

void Server::Handle(const uint8_t *data, size_t size, uint32_t srcAddr, uint16_t srcPort, uint32_t dstAddr,
                    unsigned ifindex)
{
    const std::string peer = wire::FormatEndpoint(srcAddr, srcPort);
    wire::Message req;
    if (!wire::Decode(data, size, &req)) {
        Log("ignored a malformed datagram (" + std::to_string(size) + " bytes) from " + peer);
        return;
    }
    if (!wire::IsRequest(req.opcode))
        return; // an answer of another simulator
    if (size < wire::MinRequestSize(req.opcode)) {
        Log("ignored a short request (" + std::to_string(size) + " bytes) from " + peer);
        return;
    }
    if (config_.lossRate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < config_.lossRate) {
        Log("lost request opcode " + std::to_string(req.opcode) + " txid " + std::to_string(req.txid) + " from " + peer);
        return;
    }
    const uint32_t broadcast = wire::kLimitedBroadcast;
    std::lock_guard lock(mu_);
    switch (req.opcode) {
    case wire::Discover: {
        // A Discover sent to a device's own address (from beyond a router)
        // is answered by that device alone, by unicast from that address.
        if (const Device *dev = DeviceAt(devices_, dstAddr)) {
            std::string line = "discover txid " + std::to_string(req.txid) + " from " + peer + " to " +
                               wire::FormatDottedQuad(dstAddr);
            if (!g_unicastDiscoverBudget.Take(dstAddr, Clock::now())) {
                Log(line + ": " + dev->name + " over its answer rate, not answered");
                return;
            }
            wire::Message r;
            r.opcode = wire::DiscoverReply;
            r.txid = req.txid;
            r.id = dev->id;
            r.name = dev->name;
            r.type = dev->type;
            r.address = dev->address;
            Reply(wire::Encode(r), size, srcAddr, srcPort, dstAddr, ifindex);
            Log(line + ": answered by " + dev->name);
            break;
        }
        // a unicast to an address nobody holds reaches nobody
        if (!IsBroadcastOn(config_.interface, dstAddr)) {
            Log("discover txid " + std::to_string(req.txid) + " from " + peer + " to " +
                wire::FormatDottedQuad(dstAddr) + ": no device");
            return;
        }
        for (const auto &d : devices_) {
            wire::Message r;
            r.opcode = wire::DiscoverReply;
            r.txid = req.txid;
            r.id = d.id;
            r.name = d.name;
            r.type = d.type;
            r.address = d.address;
            Reply(wire::Encode(r), size, broadcast, srcPort, 0, ifindex);
        }
        Log("discover txid " + std::to_string(req.txid) + " from " + peer + " to " + wire::FormatDottedQuad(dstAddr) +
            ": " + std::to_string(devices_.size()) + " answers");
        break;
    }
    case wire::GetIP:
    case wire::SetIP: {
        Device *dev = nullptr;
        for (auto &d : devices_)
            if (d.id == req.id)
                dev = &d;
        const char *what = req.opcode == wire::GetIP ? "getip" : "setip";
        if (!dev) {
            Log(std::string(what) + " txid " + std::to_string(req.txid) + " from " + peer + " for " +
                wire::FormatMac(req.id) + ": no such device");
            return;
        }
        wire::Message r;
        r.txid = req.txid;
        r.id = dev->id;
        if (req.opcode == wire::GetIP) {
            r.opcode = wire::GetIPReply;
            r.address = dev->address;
            r.mask = dev->mask;
            r.gateway = dev->gateway;
            r.dhcp = dev->dhcp;
            Log(std::string("getip txid ") + std::to_string(req.txid) + " from " + peer + " for " + dev->name +
                ": " + wire::FormatDottedQuad(dev->address));
        } else {
            r.opcode = wire::SetIPReply;
            bool dhcp = req.dhcp.value_or(false);
            uint32_t a = req.address.value_or(0), m = req.mask.value_or(0);
            const bool ok = dhcp || wire::IsHostAddress(a, m);
            if (ok) {
                // the same settings again change nothing: a resent request is harmless
                dev->dhcp = dhcp;
                if (!dhcp) {
                    dev->address = a;
                    dev->mask = m;
                    dev->gateway = req.gateway.value_or(0);
                }
            }
            r.status = ok ? wire::StatusOK : wire::StatusRefused;
            r.address = dev->address;
            Log(std::string("setip txid ") + std::to_string(req.txid) + " from " + peer + " for " + dev->name +
                (ok ? ": now " + (dhcp ? std::string("DHCP ") : std::string()) + wire::FormatDottedQuad(dev->address) +
                          "/" + std::to_string(wire::PrefixLength(m))
                    : std::string(": refused")));
        }
        Reply(wire::Encode(r), size, broadcast, srcPort, 0, ifindex);
        if (req.opcode == wire::SetIP && r.status == wire::StatusOK && config_.settingsChanged)
            config_.settingsChanged(*dev);
        break;
    }
    case wire::Probe: {
        const Device *dev = nullptr;
        for (const auto &d : devices_)
            if (d.address == dstAddr)
                dev = &d;
        std::string line = "probe txid " + std::to_string(req.txid) + " from " + peer + " to " +
                           wire::FormatDottedQuad(dstAddr);
        if (!dev) {
            Log(line + ": no device");
            return;
        }
        if (!dev->answersProbes) {
            Log(line + ": " + dev->name + " stays silent");
            return;
        }
        wire::Message r;
        r.opcode = wire::ProbeReply;
        r.txid = req.txid;
        r.id = dev->id;
        // answered from the probed address, as the device itself would
        Reply(wire::Encode(r), size, srcAddr, srcPort, dstAddr, ifindex);
        Log(line + ": answered by " + dev->name);
        break;
    }
    }
}

void Server::Corrupt(std::vector<uint8_t> &bytes)
{
    switch (std::uniform_int_distribution<int>(0, 3)(random_)) {
    case 0: // wrong magic
        bytes[0] ^= 0xff;
        break;
    case 1: // cut inside the fields
        if (bytes.size() > wire::kHeaderSize + 1)
            bytes.resize(wire::kHeaderSize + 1 + (bytes.size() - wire::kHeaderSize - 1) / 2);
        break;
    case 2: // a field claiming more bytes than follow
        if (bytes.size() > wire::kHeaderSize + 1)
            bytes[wire::kHeaderSize + 1] = 0xff;
        else
            bytes.insert(bytes.end(), {wire::FieldName, 200, 'x'});
        break;
    default: // an address of three bytes
        bytes.insert(bytes.end(), {wire::FieldGateway, 3, 1, 2, 3});
        break;
    }
}

void Server::Reply(std::vector<uint8_t> bytes, size_t requestSize, uint32_t to, uint16_t port, uint32_t from,
                   unsigned ifindex)
{
    if (config_.malformedRate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < config_.malformedRate)
        Corrupt(bytes);
    // never a reflector: no answer outgrows its request
    if (bytes.size() > requestSize) {
        Log("answer of " + std::to_string(bytes.size()) + " bytes exceeds its request, not sent");
        return;
    }
    Outgoing o{Clock::now() + std::chrono::milliseconds(config_.replyDelayMs), std::move(bytes), to, port, from, ifindex};
    if (config_.duplicate)
        outgoing_.push(o);
    outgoing_.push(std::move(o));
    if (config_.replyDelayMs == 0)
        SendDue();
}

void Server::SendDue()
{
    auto now = Clock::now();
    int retries = 0;
    while (!outgoing_.empty() && outgoing_.top().at <= now) {
        const Outgoing &o = outgoing_.top();
        // broadcasts leave on the link the request came from
        const unsigned ifindex = o.to == wire::kLimitedBroadcast ? o.ifindex : 0;
        if (!tvp::net::SendDatagram(socket_.socket.Get(), o.bytes.data(), o.bytes.size(), o.to, o.port, o.from,
                                    ifindex)) {
            if ((errno == EAGAIN || errno == ENOBUFS) && ++retries < 100) {
                // the send queue is full: try again shortly
                sock::WaitWritable(socket_.socket.Get(), 10);
                continue;
            }
            Log(std::string("send to ") + wire::FormatDottedQuad(o.to) + " failed: " + std::strerror(errno));
        }
        outgoing_.pop();
    }
}

} // namespace devsim
